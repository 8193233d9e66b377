#!/usr/bin/env bash
# Builds both extension modules with AddressSanitizer and UndefinedBehaviorSanitizer into their own
# virtual environment (.venv-asan, build tree build/asan) and runs the test suite on them, with the
# sanitizer runtime preloaded into the (uninstrumented) interpreter. Any report fails the run.
# Leaks are checked by the fuzz targets (pure C++, scripts/fuzz.sh) and by the suite's own
# reference-count tests: LeakSanitizer inside CPython reports the interpreter's own
# intentional allocations at exit and cannot tell them from ours.
set -euo pipefail
cd "$(dirname "$0")/.."
TALMEK_VENV="$PWD/.venv-asan" TALMEK_BUILD_DIR="build/asan" \
  TALMEK_CMAKE_ARGS="-DTALMEK_SANITIZE=ON" scripts/setup.sh
ASAN_LIB=$(gcc -print-file-name=libasan.so)
# The C++ runtime is preloaded too: the interpreter itself does not load it, and the sanitizer
# must find the real __cxa_throw when it starts. The system's own one, which the modules were
# built against, also suits the system programs that tests start with this environment.
CXXLIB=$(g++ -print-file-name=libstdc++.so.6)
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:detect_stack_use_after_return=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TALMEK_SANITIZED=1
# The Windows executable under Wine is not this build: its tests run in the plain suite only.
LD_PRELOAD="$ASAN_LIB:$CXXLIB" exec .venv-asan/bin/python -m pytest -p no:cacheprovider -m "not slow" \
  --ignore=tests/windows "$@"
