#!/usr/bin/env bash
# The whole test suite once more, against the extension built with AddressSanitizer and
# UndefinedBehaviorSanitizer (gcc, -DSI_SANITIZE=ON). The interpreter itself is not
# instrumented, so the ASan runtime is preloaded into it; PYTHONMALLOC=malloc sends every
# object allocation through that runtime, so an overrun of a small object is caught too.
#
# Leak detection is off: the interpreter keeps much of what it allocates until the process
# ends, and every allocation, the module's included, runs under interpreter frames, so no
# suppression list can tell the two apart. Leaks are caught instead by the leak tests
# (tests/test_reliability_leaks.py), which call each entry point thousands of times and
# require memory to stay flat.
#
#   bash .ci/sanitize.sh [extra pytest arguments]
#   SANITIZE_TESTS="tests/test_x.py tests/test_y.py" bash .ci/sanitize.sh ...   (a subset)
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
BUILD=build/sanitize

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSI_SANITIZE=ON >/dev/null
cmake --build "$BUILD" -j "${SANITIZE_BUILD_JOBS:-2}" >/dev/null

LIBASAN=$(g++ -print-file-name=libasan.so)
if [[ ! -e "$LIBASAN" ]]; then
    echo "sanitize: gcc's libasan.so not found" >&2
    exit 1
fi

export LD_PRELOAD="$LIBASAN"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:check_initialization_order=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export SI_SANITIZED=1  # lets tests that measure memory allow for the sanitizer's own overhead
# Every test file but the batch tool's. Its pool tests fork worker processes from a process in
# which Dask's event-loop threads (from its cluster tests) are running; gcc 12's ASan runtime
# takes no allocator lock around fork, so a child forked while one of those threads is inside
# the allocator waits for that lock forever (it happened once in CI). Those tests are Python
# around the module, whose every entry point the other files cover here; the plain suite runs
# them.
DEFAULT_TESTS=$(find tests -maxdepth 1 -name 'test_*.py' ! -name 'test_tools_batch.py' | sort)
# shellcheck disable=SC2086  # a list of paths
PYTHONPATH="$BUILD" "$PY" -m pytest ${SANITIZE_TESTS:-$DEFAULT_TESTS} -q -p no:cacheprovider "$@"
