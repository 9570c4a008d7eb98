#!/usr/bin/env bash
# The extension built without its caches (TDT_CACHES=OFF) into build/nocache, and the whole test
# suite run against that build. TDT_WERROR applies as for the installed build.
# Usage: tools/nocache.sh PYTHON [PYTEST ARGS], PYTHON a venv's python with the test dependencies.
set -euo pipefail
cd "$(dirname "$0")/.."
py=$(realpath -s "${1:?usage: tools/nocache.sh PYTHON [PYTEST ARGS]}")
shift

tools/build-variant.sh nocache "$py" -DCMAKE_BUILD_TYPE=Release -DTDT_CACHES=OFF \
    -DTDT_WERROR="${TDT_WERROR:-OFF}"
export PYTHONPATH="$PWD/build/nocachepkg:$PWD/sim"
"$py" -c 'import os, halvex.lumet.utils.trade_data_thread as m
assert "/build/nocache/" in os.path.realpath(m.__file__), m.__file__'
"$py" -m pytest -q tests "$@"
