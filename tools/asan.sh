#!/usr/bin/env bash
# AddressSanitizer + UBSan: the extension built with TDT_SANITIZE, and the whole test suite run on
# the real interpreter binary with the sanitizer runtimes preloaded and pymalloc off, so every
# Python object lives in memory ASan watches.
# Usage: tools/asan.sh PYTHON [PYTEST ARGS], PYTHON a venv's python with the test dependencies.
set -euo pipefail
cd "$(dirname "$0")/.."
py=$(realpath -s "${1:?usage: tools/asan.sh PYTHON [PYTEST ARGS]}")
shift

tools/build-variant.sh asan "$py" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTDT_SANITIZE=ON -DTDT_WERROR=ON

# The venv's python is a link; run the binary it resolves to (never a shell shim, which the
# preload would instrument too), with the venv's packages on the path.
real=$("$py" -c 'import os, sys; print(os.path.realpath(sys.executable))')
[ "$(head -c 4 "$real")" = $'\x7fELF' ] || { echo "asan: $real is not an ELF binary" >&2; exit 1; }
site=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')

# The ASan runtime must come first. libstdc++ must be loaded before it initialises: the python
# binary does not link it, and ASan's __cxa_throw interceptor would then abort at the first C++
# exception. The UBSan runtime needs no preload; the module's own dependency brings it in.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export PYTHONPATH="$PWD/build/asanpkg:$PWD/sim:$site"
"$real" -c 'import os, halvex.lumet.utils.trade_data_thread as m
assert "/build/asan/" in os.path.realpath(m.__file__), m.__file__'
"$real" tests/reliability/leaks.py --exercise  # every fault path of every entry point
# --capture=sys leaves file descriptor 2 alone, so a sanitizer report reaches the terminal. The
# slow memory-bound test is left out: ASan's quarantine keeps freed memory resident by design.
"$real" -m pytest -q --capture=sys -m "not slow" tests "$@"
