#!/usr/bin/env bash
# Builds the extension for PYTHON with cmake into build/NAME, the extra arguments going to the
# configure step, and links it into build/NAMEpkg/halvex/lumet/utils: with build/NAMEpkg first on
# PYTHONPATH, `import halvex.lumet.utils.trade_data_thread` loads this build.
# Usage: tools/build-variant.sh NAME PYTHON [CMAKE ARGS]
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:?usage: tools/build-variant.sh NAME PYTHON [CMAKE ARGS]}
py=${2:?usage: tools/build-variant.sh NAME PYTHON [CMAKE ARGS]}
shift 2

cmake -S . -B "build/$name" -DPython_EXECUTABLE="$py" "$@" >/dev/null
cmake --build "build/$name" -j2
so=$(cd "build/$name" && ls trade_data_thread.cpython-*.so)
mkdir -p "build/${name}pkg/halvex/lumet/utils"
ln -sf "../../../../$name/$so" "build/${name}pkg/halvex/lumet/utils/"
