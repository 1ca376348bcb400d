#!/usr/bin/env bash
# The extension cross-compiled with Debian's cross compiler, then the whole test suite run on
# the target processor inside a Debian tree of it: under qemu user emulation for aarch64 and
# s390x (big-endian), natively for i386 (32-bit), which an x86-64 host runs itself.
#
#   bash .ci/cross.sh aarch64|s390x|i386 [extra pytest arguments]
#
# Runs as root on a Debian 12 x86-64 host (apt-get, mount, chroot); needs cmake and ninja on
# PATH (pip install cmake ninja). The tree (CROSS_ROOT, default /work/<Debian architecture>-root)
# is made with mmdebstrap on first use and reused afterwards: Debian's python3.11 and its
# headers, g++ and zlib (the kernel tests compile their checkers there), and a virtual
# environment /opt/venv with the test dependencies. The build in build/cross-<processor> is
# incremental; the last line printed is the suite's summary. Timings under emulation say
# nothing about the hardware.
set -euo pipefail
cd "$(dirname "$0")/.."

# All in one function, read whole before it runs, so that editing this file cannot change a run
# already under way.
main() {

# The test dependencies come from PyPI where it has wheels for the processor; PyPI has no
# numpy or Pillow wheels for s390x or i386, so there they are Debian's own packages. An x86-64
# host runs i386 programs itself, without qemu.
DEBIAN_TEST_PACKAGES=,python3-pytest,python3-numpy,python3-pil,python3-tqdm,python3-dask,python3-distributed
case "${1:-}" in
    aarch64) DEBARCH=arm64 TRIPLET=aarch64-linux-gnu CXX_PREFIX=aarch64-linux-gnu FROM_DEBIAN= ;;
    s390x) DEBARCH=s390x TRIPLET=s390x-linux-gnu CXX_PREFIX=s390x-linux-gnu FROM_DEBIAN=$DEBIAN_TEST_PACKAGES ;;
    i386) DEBARCH=i386 TRIPLET=i386-linux-gnu CXX_PREFIX=i686-linux-gnu FROM_DEBIAN=$DEBIAN_TEST_PACKAGES ;;
    *)
        echo "usage: bash .ci/cross.sh aarch64|s390x|i386 [pytest arguments]" >&2
        exit 2
        ;;
esac
PROCESSOR=$1
shift
ROOT=${CROSS_ROOT:-/work/$DEBARCH-root}
BUILD=build/cross-$PROCESSOR
MIRROR=${CROSS_MIRROR:-http://deb.debian.org/debian}
PACKAGES=python3.11,python3.11-venv,libpython3.11-dev,g++,zlib1g-dev,ca-certificates,e2fsprogs$FROM_DEBIAN
TEST_DEPENDENCIES=(pytest numpy Pillow tqdm "dask[distributed]")

# Host tools: the cross compiler, mmdebstrap, and qemu registered with binfmt_misc so that the
# tree's programs (the interpreter, and the ones the tests start) run as if native.
missing=()
command -v "$CXX_PREFIX-g++" >/dev/null || missing+=("crossbuild-essential-$DEBARCH")
command -v mmdebstrap >/dev/null || missing+=(mmdebstrap)
if [[ $PROCESSOR != i386 ]]; then
    command -v update-binfmts >/dev/null || missing+=(binfmt-support)
    [[ -e /usr/libexec/qemu-binfmt/$PROCESSOR-binfmt-P ]] || missing+=(qemu-user-static)
fi
if ((${#missing[@]})); then
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi
if [[ $PROCESSOR != i386 ]]; then
    [[ -e /proc/sys/fs/binfmt_misc/register ]] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    [[ "$(head -1 "/proc/sys/fs/binfmt_misc/qemu-$PROCESSOR" 2>/dev/null)" == enabled ]] ||
        update-binfmts --enable "qemu-$PROCESSOR"
fi

# Runs a command as root of the tree, in a private mount namespace: the clone appears as /src,
# with /proc, /dev and an empty /tmp, and every mount disappears when the command ends.
in_root() {
    unshare --mount --propagation private bash -euo pipefail -c '
        root=$1 repo=$2
        shift 2
        mkdir -p "$root/src"
        mount --bind "$repo" "$root/src"
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        mount -t tmpfs tmpfs "$root/tmp"
        exec chroot "$root" /usr/bin/env -i PATH=/opt/venv/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 "$@"
    ' in_root "$ROOT" "$PWD" "$@"
}

# The tree, made once; each step is skipped when its result is already there.
if [[ ! -x $ROOT/usr/bin/python3.11 ]]; then
    mmdebstrap --architectures="$DEBARCH" --variant=apt --include="$PACKAGES" bookworm "$ROOT" "$MIRROR"
fi
cp /etc/resolv.conf "$ROOT/etc/resolv.conf"
if [[ ! -e $ROOT/usr/include/$TRIPLET/python3.11/pyconfig.h ]]; then
    in_root apt-get update -q
    in_root apt-get install -y -q --no-install-recommends ${PACKAGES//,/ }
fi
if [[ ! -e $ROOT/opt/venv/.ready ]]; then
    # A host that reaches PyPI through an intercepting proxy trusts it by its own bundle.
    cp "${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}" "$ROOT/etc/ssl/certs/host-bundle.crt"
    if [[ -n $FROM_DEBIAN ]]; then
        in_root python3.11 -m venv --system-site-packages /opt/venv
    else
        in_root python3.11 -m venv /opt/venv
        in_root pip install -q --disable-pip-version-check --cert /etc/ssl/certs/host-bundle.crt "${TEST_DEPENDENCIES[@]}"
    fi
    touch "$ROOT/opt/venv/.ready"
fi

# Cross build against the tree's Python headers. Debian's pyconfig.h picks the per-processor
# header by the compiler's macros, from <triplet/python3.11/pyconfig.h>; a directory holding
# only that link supplies it without putting the tree's C library headers on the path.
mkdir -p "$BUILD/python-include/$TRIPLET"
ln -sfn "$ROOT/usr/include/$TRIPLET/python3.11" "$BUILD/python-include/$TRIPLET/python3.11"
cat >"$BUILD/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $PROCESSOR)
set(CMAKE_CXX_COMPILER $CXX_PREFIX-g++)
set(CMAKE_CXX_FLAGS_INIT "-isystem $PWD/$BUILD/python-include")
EOF
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$PWD/$BUILD/toolchain.cmake" \
    -DPython_INCLUDE_DIR="$ROOT/usr/include/python3.11" -DSI_EXTENSION_SUFFIX=".cpython-311-$TRIPLET.so" >/dev/null
cmake --build "$BUILD" -j "${CROSS_BUILD_JOBS:-2}" >/dev/null
file -b "$BUILD"/Vorlanx/simpleImage_ext.*.so 2>/dev/null || true

# The suite inside the tree, against the cross-built package. Under qemu LeakSanitizer cannot
# stop the process's threads to scan them and ends every sanitized kernel checker with an
# error, so leak checking is off there (the native runs keep it); AddressSanitizer still runs.
# On s390x under qemu AddressSanitizer cannot reserve its shadow memory at all (the emulated
# address space is too small for that layout), so the sanitized checkers are left out there;
# the optimised ones still run.
log=$BUILD/pytest.log
emulated=() unrunnable=()
[[ $PROCESSOR == i386 ]] || emulated=(ASAN_OPTIONS=detect_leaks=0)
[[ $PROCESSOR != s390x ]] || unrunnable=(
    --deselect "tests/test_bmp_kernels.py::test_vector_and_scalar_kernels_agree[sanitized]"
    --deselect "tests/test_png_kernels.py::test_kernels_match_reference[flags1-filters]"
    --deselect "tests/test_png_kernels.py::test_kernels_match_reference[flags1-inflate]"
    --deselect "tests/test_png_kernels.py::test_kernels_match_reference[flags1-deflate]"
    --deselect "tests/test_png_kernels.py::test_kernels_match_reference[flags1-cpu]")
in_root "${emulated[@]}" PYTHONDONTWRITEBYTECODE=1 PYTHONPATH="/src/$BUILD" sh -c 'cd /src && exec python -m pytest -p no:cacheprovider "$@"' \
    pytest -q "${unrunnable[@]}" "$@" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
echo "cross $PROCESSOR: $(tail -1 "$log")"
exit "$status"
}

main "$@"
