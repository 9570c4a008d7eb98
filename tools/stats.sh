#!/usr/bin/env bash
# The extension built with its fast-path counters (TDT_STATS=ON) into build/stats3.X, and the whole
# test suite run against that build: the tests that read the counters run only there.
# Usage: tools/stats.sh PYTHON [PYTEST ARGS], PYTHON a venv's python with the test dependencies.
set -euo pipefail
cd "$(dirname "$0")/.."
py=$(realpath -s "${1:?usage: tools/stats.sh PYTHON [PYTEST ARGS]}")
shift

tag=stats$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
tools/build-variant.sh "$tag" "$py" -DCMAKE_BUILD_TYPE=Release -DTDT_STATS=ON \
    -DTDT_WERROR="${TDT_WERROR:-OFF}"
export PYTHONPATH="$PWD/build/${tag}pkg:$PWD/sim"
"$py" -c 'import os, halvex.lumet.utils.trade_data_thread as m
assert "/build/stats" in os.path.realpath(m.__file__), m.__file__
assert hasattr(m, "_fastpath_stats"), "not the stats build"'
"$py" -m pytest -q tests "$@"
