#!/usr/bin/env bash
# make bench: times (bench/bench.py) and callgrind instruction counts (bench/instructions.py) of
# the native module, the plain-Python reference and its Cython copy, on the default interpreter
# (.venv) and on CPython 3.8 when pyenv has it (.venv-3.8). Extra arguments go to bench.py.
set -euo pipefail
cd "$(dirname "$0")/.."

run() {  # python tag [bench.py args]
    local py=$1 tag=$2
    "$py" bench/build_cython.py
    "$py" bench/bench.py --out "bench/results-$tag.json" --chart "bench/results-$tag.png" "${@:3}"
    if command -v valgrind >/dev/null; then
        "$py" bench/instructions.py --out "bench/instructions-$tag.json"
    fi
}

py=.venv/bin/python
"$py" -m pip install -q $("$py" tools/requirements.py bench)
run "$py" "$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" "$@"

py38=${PYENV_ROOT:-/root/.pyenv}/versions
py38=$(ls -d "$py38"/3.8.* 2>/dev/null | sort -V | tail -1 || true)
if [ -n "$py38" ]; then
    test -x .venv-3.8/bin/python || "$py38/bin/python" -m venv .venv-3.8
    .venv-3.8/bin/python -m pip install -q $(.venv-3.8/bin/python tools/requirements.py --build bench)
    .venv-3.8/bin/python -m pip install -q --no-build-isolation .
    run .venv-3.8/bin/python 3.8 "$@"
else
    echo "bench: no CPython 3.8 under pyenv, skipped"
fi
