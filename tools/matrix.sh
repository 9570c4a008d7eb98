#!/usr/bin/env bash
# Build and test on every CPython from 3.8 up that pyenv has on this machine, each in its own venv
# (.venv-3.X), on the default build and on the stats build (tools/stats.sh, into build/stats).
# Usage: tools/matrix.sh [all | min-max | 3.X ...]; min-max is the oldest and the newest.
set -euo pipefail
cd "$(dirname "$0")/.."
root=${PYENV_ROOT:-/root/.pyenv}/versions

# Newest patch release per minor version, oldest minor first.
declare -A newest=()
for dir in "$root"/3.*; do
    [ -x "$dir/bin/python" ] || continue
    v=$(basename "$dir")
    minor=$(echo "$v" | cut -d. -f2)
    [[ "$minor" =~ ^[0-9]+$ ]] && ((minor >= 8)) || continue
    prev=${newest[$minor]:-}
    if [ -z "$prev" ] || [ "$(printf '%s\n%s\n' "$prev" "$v" | sort -V | tail -1)" = "$v" ]; then
        newest[$minor]=$v
    fi
done
all=$(printf '%s\n' "${!newest[@]}" | sort -n)
[ -n "$all" ] || { echo "matrix: no CPython 3.8 or newer under $root" >&2; exit 1; }

case "${1:-all}" in
    all) minors=$all ;;
    min-max) minors=$(printf '%s\n' "$(echo "$all" | head -1)" "$(echo "$all" | tail -1)" | uniq) ;;
    *) minors=$(for v in "$@"; do echo "${v#3.}"; done) ;;
esac

passed=()
for minor in $minors; do
    v=${newest[$minor]:-}
    if [ -z "$v" ]; then echo "matrix: 3.$minor is not installed, skipped"; continue; fi
    venv=.venv-3.$minor
    echo "==== CPython $v ($venv)"
    test -x "$venv/bin/python" || "$root/$v/bin/python" -m venv "$venv"
    if [ ! "$venv/.deps-installed" -nt pyproject.toml ]; then
        "$venv/bin/python" -m pip install -q --upgrade pip
        "$venv/bin/python" -m pip install -q $("$venv/bin/python" tools/requirements.py --build test)
        touch "$venv/.deps-installed"
    fi
    TDT_WERROR=ON "$venv/bin/python" -m pip install -q --no-build-isolation .
    "$venv/bin/python" -m pytest -q -rs tests | tee "$venv/pytest.log"
    # The sub-interpreter refusal must really be tested here, never skipped.
    if grep -q "SKIPPED.*test_loading.py.*no sub-interpreter" "$venv/pytest.log"; then
        echo "matrix: a sub-interpreter test was skipped on $v" >&2; exit 1
    fi
    # The counters' tests run only on the stats build: each fast path meant for this version is taken.
    TDT_WERROR=ON tools/stats.sh "$venv/bin/python" -q
    passed+=("$v")
done
echo "matrix: passed on ${passed[*]}"
