#!/usr/bin/env bash
# The whole test suite once more, against the extension built with -DSI_PORTABLE=ON: no x86
# SIMD kernel, BMI2 loop or carry-less CRC, only the code every other processor runs. The
# standalone kernel checkers are left out: they compare the SIMD kernels with the portable
# ones, which the main run already does.
#
#   bash .ci/portable.sh [extra pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
BUILD=build/portable

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSI_PORTABLE=ON >/dev/null
cmake --build "$BUILD" -j "${PORTABLE_BUILD_JOBS:-2}" >/dev/null
PYTHONPATH="$BUILD" timeout "${PORTABLE_TIMEOUT:-1200}" "$PY" -m pytest tests -q -p no:cacheprovider \
    --ignore tests/test_png_kernels.py --ignore tests/test_bmp_kernels.py "$@"
