#!/usr/bin/env bash
# Builds tolv and tolv_extras._model_io for 32-bit ARM Linux (armhf) with Debian's
# cross toolchain and runs the native and Python test suites under qemu-arm with
# Debian's armhf CPython (and Debian's numpy: PyPI has no armv7l wheel of it).
#
# Meant for a Debian 12 x86-64 machine, run as root (it installs packages with
# apt-get). Debian 12's armhf root is build/roots/armhf-bookworm (TOLV_ROOTS_DIR to
# move the roots), shared with scripts/build_wheels.sh; the build and the test
# packages live under build/armhf (TOLV_ARMHF_DIR to move them). Running it again
# redoes the build and the tests from the cached root. Extra arguments go to pytest;
# without them the whole suite runs on TOLV_TEST_WORKERS pytest-xdist workers (default
# 2; 1 runs it in one process), each an emulated interpreter of its own.
# Exits non-zero if any step or test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
. scripts/retry.sh

work=${TOLV_ARMHF_DIR:-$repo/build/armhf}
mkdir -p "$work"
work=$(cd "$work" && pwd)
roots=${TOLV_ROOTS_DIR:-$repo/build/roots}
mkdir -p "$roots"
# Absolute: CMake and the interpreter wrapper are given paths inside it.
sysroot=$(cd "$roots" && pwd)/armhf-bookworm
pylib=$work/pylib
build=$work/cmake-build
wrapper=$sysroot/usr/bin/python3.11-run
jobs=2

step() { printf '\n== %s (%ds)\n' "$*" "$SECONDS"; }

step "host tools"
export DEBIAN_FRONTEND=noninteractive
apt_get=(apt-get -o DPkg::Lock::Timeout=600 -q)
retry "${apt_get[@]}" update
# No recommends: qemu-user would otherwise bring binfmt registration along.
retry "${apt_get[@]}" install -y --no-install-recommends \
  g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf qemu-user mmdebstrap \
  cmake make python3 python3-pip ca-certificates

step "armhf CPython, its headers and the test packages"
TOLV_ROOT_PACKAGES=python3-numpy bash scripts/target_python.sh armhf bookworm "$sysroot" 3.11
# numpy's BLAS and LAPACK are reached through links that update-alternatives makes
# when the packages are configured, which the root's packages never are.
for lib in blas/libblas.so.3 lapack/liblapack.so.3; do
  multiarch=$sysroot/usr/lib/arm-linux-gnueabihf
  if [[ ! -e $multiarch/${lib#*/} && -e $multiarch/$lib ]]; then ln -s "$lib" "$multiarch/${lib#*/}"; fi
done
# Pure Python, so this machine's pip (of the same CPython 3.11) fetches them;
# --platform keeps it to wheels that run on the target.
test_packages=('pytest>=7' 'hypothesis>=6' pytest-xdist)
# Reused while it was made for the same list.
if [[ "$(cat "$pylib/.done" 2>/dev/null)" != "${test_packages[*]}" ]]; then
  rm -rf "$pylib"
  retry /usr/bin/python3 -m pip install -q --disable-pip-version-check --no-cache-dir \
    --target "$pylib" --only-binary=:all: \
    --platform linux_armv7l --platform manylinux2014_armv7l \
    --python-version 3.11 --implementation cp \
    "${test_packages[@]}"
  printf '%s\n' "${test_packages[*]}" >"$pylib/.done"
fi
# The root's CPU: ARMv7-A with VFPv3, Debian's armhf baseline.
qemu=(qemu-arm -cpu cortex-a8)

step "cross build"
native_tests=OFF
if compgen -G "tests/native/*.cpp" >/dev/null; then native_tests=ON; fi
rm -rf "$build"
cmake -S . -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/armhf-toolchain.cmake" \
  -DTOLV_ARMHF_SYSROOT="$sysroot" \
  -DCMAKE_BUILD_TYPE=Release \
  -DTOLV_WERROR=ON \
  -DTOLV_BUILD_NATIVE_TESTS=$native_tests \
  -DPython_EXECUTABLE="$wrapper" \
  -DPython_INCLUDE_DIR="$sysroot/usr/include/python3.11"
cmake --build "$build" --parallel "$jobs"

for module in "$build"/{tolv,_model_io}.cpython-311-arm-linux-gnueabihf.so; do
  if [[ ! -f $module ]]; then
    echo "armhf_tests: $module was not built" >&2
    ls "$build" >&2
    exit 1
  fi
  arm-linux-gnueabihf-readelf -h -A "$module" | grep -E 'Machine:|Tag_ABI_VFP_args|Tag_CPU_name'
done
# The companion package: a copy of the source tree's, with the module just built in it
# and no other build (a developer's symlink into another build folder, say).
package=$work/python/tolv_extras
rm -rf "$work/python"
mkdir -p "$work/python"
cp -R python/tolv_extras "$package"
find "$package" \( -name '*.so' -o -name __pycache__ \) -prune -exec rm -rf {} +
cp "$build/_model_io.cpython-311-arm-linux-gnueabihf.so" "$package/"

status=0
if [[ $native_tests == ON ]]; then
  step "native tests (qemu-arm)"
  "${qemu[@]}" -L "$sysroot" "$build/tolv_native_tests" || status=1
fi

step "Python tests (qemu-arm)"
# The module just built, the companion package with its own, the test packages and
# the root's numpy (Debian's dist-packages, outside a venv on the path already).
export PYTHONPATH=$build:$work/python:$pylib
export PYTHONNOUSERSITE=1
"$wrapper" -c 'import sys, numpy, tolv, tolv_extras._model_io as m
print("tolv from", tolv.__file__, "and", m.__file__, "with numpy", numpy.__version__)
sys.exit(not all(f.startswith(sys.argv[1]) for f in (tolv.__file__, m.__file__)))' "$work/"
workers=${TOLV_TEST_WORKERS:-2}
if [[ $# -eq 0 && $workers != 1 ]]; then set -- -n "$workers"; fi
"$wrapper" -m pytest -p no:cacheprovider tests/python "$@" || status=1

step "done: $([[ $status == 0 ]] && echo passed || echo FAILED)"
exit "$status"
