#!/usr/bin/env bash
# The CPython interpreters from 3.8 up that pyenv has on this machine: the newest patch release of
# each minor version, oldest first, one "3.X PATH-TO-PYTHON" a line. Only plain releases count
# (versions/3.X.Y): free-threaded (3.13.0t), development and pre-release builds are passed over.
# Usage: tools/pythons.sh [all | min-max | 3.X ...]; min-max is the oldest and the newest. A version
# asked for by name that is not installed is named on stderr and left out.
set -euo pipefail
root=${PYENV_ROOT:-$HOME/.pyenv}/versions

declare -A newest=()
for dir in "$root"/3.*; do
    v=$(basename "$dir")
    [[ "$v" =~ ^3\.([0-9]+)\.[0-9]+$ ]] && [ -x "$dir/bin/python" ] || continue
    minor=${BASH_REMATCH[1]}
    ((minor >= 8)) || continue
    prev=${newest[$minor]:-}
    if [ -z "$prev" ] || [ "$(printf '%s\n%s\n' "$prev" "$v" | sort -V | tail -1)" = "$v" ]; then
        newest[$minor]=$v
    fi
done
all=$( ((${#newest[@]})) && printf '%s\n' "${!newest[@]}" | sort -n || true)
[ -n "$all" ] || { echo "pythons: no CPython 3.8 or newer under $root" >&2; exit 1; }

case "${1:-all}" in
    all) minors=$all ;;
    min-max) minors=$(printf '%s\n' "$(echo "$all" | head -1)" "$(echo "$all" | tail -1)" | uniq) ;;
    *) minors=$(for v in "$@"; do echo "${v#3.}"; done) ;;
esac
for minor in $minors; do
    v=${newest[$minor]:-}
    if [ -z "$v" ]; then echo "pythons: 3.$minor is not an installed CPython from 3.8 up, skipped" >&2; continue; fi
    echo "3.$minor $root/$v/bin/python"
done
