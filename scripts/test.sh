#!/usr/bin/env bash
# Installs what is missing, builds Sondrel twice (the ordinary build, and the test build with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
werror=OFF
if [ "${CI:-}" = "true" ]; then werror=ON; fi

cmake -S . -B build/app -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONDREL_TESTS=OFF \
      -DSONDREL_WERROR=$werror >/dev/null
cmake --build build/app -j "$jobs"

cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSONDREL_SANITIZE=ON \
      -DSONDREL_WERROR=$werror -DSONDREL_RELEASE_BUILD_DIR="$PWD/build/app" >/dev/null
cmake --build build/test -j "$jobs"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:${ASAN_OPTIONS:-}"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0:${LSAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
ctest --test-dir build/test --output-on-failure -j "$jobs" --timeout 900
