#!/usr/bin/env bash
# Reference leaks on Debian's debug interpreter (python3.11-dbg): the extension is built against
# its headers (the build fails unless Py_DEBUG is defined), then every entry point runs through
# tests/reliability/leaks.py, and the test suite runs once more with the debug build's checks.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
for pkg in python3.11-dbg python3.11-dev python3.11-venv python3-numpy; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if ((${#missing[@]})); then
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi

venv=.venv-dbg
# numpy comes from Debian's python3-numpy, the only build that loads into the debug interpreter:
# the venv sees it, so pip takes it as installed.
test -x "$venv/bin/python" || python3.11-dbg -m venv --system-site-packages "$venv"
if [ ! "$venv/.deps-installed" -nt pyproject.toml ]; then
    "$venv/bin/python" -m pip install -q $("$venv/bin/python" tools/requirements.py test)
    touch "$venv/.deps-installed"
fi

# GCC gives -isystem directories after the release headers' own directory, which can bring in the
# release pyconfig.h; plain -I keeps the debug headers first, and TDT_REQUIRE_PY_DEBUG checks it.
tools/build-variant.sh dbg "$PWD/$venv/bin/python" -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_NO_SYSTEM_FROM_IMPORTED=ON -DTDT_REQUIRE_PY_DEBUG=ON -DTDT_WERROR=ON

export PYTHONPATH="$PWD/build/dbgpkg:$PWD/sim"
"$venv/bin/python" -c 'import sys, halvex.lumet.utils.trade_data_thread as m
assert hasattr(sys, "gettotalrefcount") and "/build/dbg/" in __import__("os").path.realpath(m.__file__), m.__file__'
"$venv/bin/python" tests/reliability/leaks.py
"$venv/bin/python" -m pytest -q -m "not slow" tests
