#!/usr/bin/env bash
# Fuzzing: builds the extension with clang (AddressSanitizer, UndefinedBehaviorSanitizer and
# libFuzzer coverage), runs each Python fuzz target under atheris with atheris's own sanitizer
# runtime preloaded, and the C++ targets natively (the scanline kernels, and the inflater and
# the deflater against the system zlib); each for a bounded time.
#
#   FUZZ_SECONDS=600 bash .ci/fuzz.sh        # seconds per target (default 60)
#   FUZZ_TARGETS="open streams" bash .ci/fuzz.sh
#
# Fails on any crash, sanitizer report, leak of an undocumented exception or timeout; the
# failing input is left in build/fuzz-run/artifacts. The corpora found so far stay in
# build/fuzz-run/corpus, so a later run starts where this one stopped.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_TARGET=${FUZZ_SECONDS:-60}
TARGETS=${FUZZ_TARGETS:-"open read_chunk streams objects kernels inflate deflate"}
RUN=build/fuzz-run
BUILD=build/fuzz
PY=${PYTHON:-python3}
JOBS=${FUZZ_BUILD_JOBS:-2}

# Tools: atheris from PyPI, clang from the distribution.
if ! "$PY" -c "import atheris" 2>/dev/null; then
    "$PY" -m pip install --quiet atheris
fi
if ! command -v clang++ >/dev/null || [[ ! -f "$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a)" ]]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq clang libclang-rt-dev >/dev/null
fi
ATHERIS_DIR=$("$PY" -c "import atheris; print(atheris.path())")
RUNTIME="$ATHERIS_DIR/asan_with_fuzzer.so"
if [[ ! -f "$RUNTIME" ]]; then
    echo "fuzz: atheris ships no asan_with_fuzzer.so here; native coverage is impossible" >&2
    exit 1
fi

# The extension, instrumented. vptr and function checks need the C++ half of the UBSan
# runtime, which atheris's preloadable runtime does not carry (and the function check flags
# the C API's own calling convention of casting method pointers).
SAN="-fsanitize=address,undefined -fno-sanitize=vptr,function -fno-sanitize-recover=undefined"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ \
    "-DCMAKE_CXX_FLAGS=$SAN -fsanitize=fuzzer-no-link -fno-omit-frame-pointer -g" >/dev/null
cmake --build "$BUILD" -j "$JOBS" >/dev/null
clang++ -std=c++20 -O1 -g -Wall -Wextra $SAN -fsanitize=fuzzer -Isrc fuzz/kernels.cpp \
    src/png/filters.cpp src/png/filters_x86.cpp src/png/scanlines.cpp src/bmp/rows.cpp -o "$BUILD/fuzz_kernels"
# The inflater against the system's zlib (its headers come with zlib1g-dev).
if [[ ! -f /usr/include/zlib.h ]]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq zlib1g-dev >/dev/null
fi
INFLATE_SOURCES=(src/flate/inflate.cpp src/flate/adler32.cpp src/flate/adler32_x86.cpp)
clang++ -std=c++20 -O1 -g -Wall -Wextra $SAN -fsanitize=fuzzer -Isrc -Itests fuzz/inflate.cpp "${INFLATE_SOURCES[@]}" -lz \
    -o "$BUILD/fuzz_inflate"
clang++ -std=c++20 -O1 -Isrc -Itests fuzz/inflate_seeds.cpp -lz -o "$BUILD/inflate_seeds"
# The deflater against the system's compress2 at level 6.
clang++ -std=c++20 -O1 -g -Wall -Wextra $SAN -fsanitize=fuzzer -Isrc -Itests fuzz/deflate.cpp src/flate/deflate.cpp \
    src/flate/adler32.cpp src/flate/adler32_x86.cpp -lz -o "$BUILD/fuzz_deflate"
clang++ -std=c++20 -O1 -Isrc -Itests fuzz/deflate_seeds.cpp -lz -o "$BUILD/deflate_seeds"
DEFLATE_MAX_LEN=262144

mkdir -p "$RUN/artifacts" "$RUN/seeds/inflate" "$RUN/seeds/deflate"
"$PY" fuzz/seeds.py "$RUN/seeds" >/dev/null
"$BUILD/inflate_seeds" "$RUN/seeds/inflate" >/dev/null
"$BUILD/deflate_seeds" "$RUN/seeds/deflate" "$DEFLATE_MAX_LEN"

# Memory: a header may legally claim a pixel buffer of up to 2 GiB, which the decoders may
# reserve before the data proves it short; such a buffer must not count as a crash.
FLAGS=(-max_total_time="$SECONDS_PER_TARGET" -timeout=30 -rss_limit_mb=6144 -malloc_limit_mb=3072
       -print_final_stats=1)
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:handle_abort=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

status=0
summary=()
for target in $TARGETS; do
    corpus="$RUN/corpus/$target"
    mkdir -p "$corpus"
    log="$RUN/$target.log"
    echo "fuzz: $target for ${SECONDS_PER_TARGET}s"
    set +e
    if [[ $target == kernels ]]; then
        "$BUILD/fuzz_kernels" "${FLAGS[@]}" -artifact_prefix="$RUN/artifacts/$target-" "$corpus" >"$log" 2>&1
    elif [[ $target == inflate ]]; then
        # Inputs up to 128 KiB leave room for two full 65535-byte stored blocks.
        "$BUILD/fuzz_inflate" "${FLAGS[@]}" -max_len=131072 -artifact_prefix="$RUN/artifacts/$target-" \
            "$corpus" "$RUN/seeds/inflate" >"$log" 2>&1
    elif [[ $target == deflate ]]; then
        # Raw inputs up to 256 KiB; the programs an input may hold expand to up to 3 MiB.
        "$BUILD/fuzz_deflate" "${FLAGS[@]}" -max_len="$DEFLATE_MAX_LEN" -artifact_prefix="$RUN/artifacts/$target-" \
            "$corpus" "$RUN/seeds/deflate" >"$log" 2>&1
    else
        seeds="$RUN/seeds/$target"
        # Every object allocation through the sanitizer's allocator, so that the module reading
        # an object the interpreter has freed (or past a small one) is caught, not served from
        # a reused pool block.
        LD_PRELOAD="$RUNTIME" PYTHONMALLOC=malloc PYTHONPATH="$BUILD" "$PY" "fuzz/fuzz_$target.py" "${FLAGS[@]}" \
            -artifact_prefix="$RUN/artifacts/$target-" "$corpus" "$seeds" >"$log" 2>&1
    fi
    rc=$?
    set -e
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    summary+=("$target: ${runs:-?} executions, exit $rc")
    if [[ $rc -ne 0 ]]; then
        status=1
        echo "fuzz: $target FAILED (exit $rc); the end of $log:" >&2
        tail -n 40 "$log" >&2
    fi
done

echo "fuzz summary (${SECONDS_PER_TARGET}s per target):"
printf '  %s\n' "${summary[@]}"
exit $status
