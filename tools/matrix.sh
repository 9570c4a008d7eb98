#!/usr/bin/env bash
# Build and test on every CPython from 3.8 up that pyenv has on this machine, each in its own venv
# (.venv-3.X), on the default build and on the stats build (tools/stats.sh, into build/stats).
# Usage: tools/matrix.sh [all | min-max | 3.X ...]; min-max is the oldest and the newest.
set -euo pipefail
cd "$(dirname "$0")/.."
# "3.X PATH" per interpreter, oldest first (tools/pythons.sh).
selected=$(tools/pythons.sh "$@")
[ -n "$selected" ] || { echo "matrix: none of the interpreters asked for is installed" >&2; exit 1; }

passed=()
while read -r minor python <&3; do
    v=$("$python" -c 'import platform; print(platform.python_version())')
    venv=.venv-$minor
    echo "==== CPython $v ($venv)"
    test -x "$venv/bin/python" || "$python" -m venv "$venv"
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
done 3<<<"$selected"
echo "matrix: passed on ${passed[*]}"
