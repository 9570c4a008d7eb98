#!/usr/bin/env bash
# make bench: times (bench/bench.py) and callgrind instruction counts (bench/instructions.py) of
# the native module, the plain-Python reference and its Cython copy, on the default interpreter
# (.venv), on CPython 3.8 and on the newest CPython that pyenv has (each in .venv-3.X), with slots
# and with __dict__ records. Extra arguments go to bench.py. `python bench/tables.py speed` and
# `... breakdown` turn the results into the tables of the README and bench/README.md.
set -euo pipefail
cd "$(dirname "$0")/.."

run() {  # python tag [bench.py args]
    local py=$1 tag=$2
    "$py" bench/build_cython.py
    "$py" bench/bench.py --out "bench/results-$tag.json" --chart "bench/results-$tag.png" "${@:3}"
    if command -v valgrind >/dev/null; then
        "$py" bench/instructions.py --out "bench/instructions-$tag.json"
        "$py" bench/instructions.py --records dict --out "bench/instructions-$tag-dict.json"
    fi
}

version() { "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'; }

py=.venv/bin/python
default=$(version "$py")
"$py" -m pip install -q $("$py" tools/requirements.py bench)
run "$py" "$default" "$@"

# The newest patch release of 3.8, and the newest release of all.
root=${PYENV_ROOT:-/root/.pyenv}/versions
oldest=$(ls -d "$root"/3.8.* 2>/dev/null | sort -V | tail -1 || true)
newest=$(ls -d "$root"/3.* 2>/dev/null | sort -V | tail -1 || true)
for dir in $oldest $newest; do
    tag=$(version "$dir/bin/python")
    [ "$tag" = "$default" ] && continue
    venv=.venv-$tag
    test -x "$venv/bin/python" || "$dir/bin/python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q $("$venv/bin/python" tools/requirements.py --build bench)
    "$venv/bin/python" -m pip install -q --no-build-isolation .
    run "$venv/bin/python" "$tag" "$@"
done
[ -n "$oldest" ] || echo "bench: no CPython 3.8 under pyenv, skipped"
