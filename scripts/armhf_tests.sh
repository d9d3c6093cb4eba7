#!/usr/bin/env bash
# Builds tolv for 32-bit ARM Linux (armhf) with Debian's cross toolchain and runs
# the native and Python test suites under qemu-arm with Debian's armhf CPython.
#
# Meant for a Debian 12 x86-64 machine, run as root (it installs packages with
# apt-get). Everything it makes lives under build/armhf (TOLV_ARMHF_DIR to move
# it); running it again redoes the build and the tests from the cached packages.
# Extra arguments go to pytest. Exits non-zero if any step or test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

work=${TOLV_ARMHF_DIR:-$repo/build/armhf}
mkdir -p "$work"
work=$(cd "$work" && pwd)
sysroot=$work/sysroot
debs=$work/debs
pylib=$work/pylib
build=$work/cmake-build
wrapper=$sysroot/usr/bin/python3.11-qemu
jobs=2

# The armhf interpreter is not installed (its package conflicts with the native
# one); these packages are unpacked into the sysroot instead: the interpreter,
# its standard library and headers, and the shared libraries the interpreter,
# its extension modules and tolv load at run time.
target_packages=(
  libc6 libgcc-s1 libstdc++6
  python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libpython3.11-dev
  zlib1g libexpat1 libffi8 libssl3 libbz2-1.0 liblzma5 libuuid1
  libcrypt1 libsqlite3-0 libncursesw6 libtinfo6 libreadline8 libdb5.3
)

step() { printf '\n== %s (%ds)\n' "$*" "$SECONDS"; }

step "host tools"
export DEBIAN_FRONTEND=noninteractive
apt_get=(apt-get -o DPkg::Lock::Timeout=600 -q)
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  dpkg --add-architecture armhf
fi
"${apt_get[@]}" update
# No recommends: qemu-user would otherwise bring binfmt registration along.
"${apt_get[@]}" install -y --no-install-recommends \
  g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf qemu-user \
  cmake make python3 python3-pip ca-certificates

step "armhf packages"
# Refetch when the archive moved on; keep the cached .debs otherwise.
want=$(apt-cache policy "${target_packages[@]/%/:armhf}" | awk '/^[^ ]/ {p=$1} /Candidate:/ {print p, $2}')
if [[ ! -f $debs/.list ]] || [[ $(cat "$debs/.list") != "$want" ]]; then
  rm -rf "$debs"
  mkdir -p "$debs"
  (cd "$debs" && "${apt_get[@]}" download "${target_packages[@]/%/:armhf}")
  printf '%s\n' "$want" >"$debs/.list"
fi

step "sysroot"
rm -rf "$sysroot"
mkdir -p "$sysroot"
for deb in "$debs"/*.deb; do
  dpkg-deb -x "$deb" "$sysroot"
done
# The emulator runs the interpreter; the interpreter takes the wrapper's path as
# its own (qemu's -0 sets argv[0]), so sys.executable is the wrapper, and child
# interpreters started from sys.executable run under the emulator as well, even
# with an emptied environment. It sits next to the real binary, so the
# interpreter finds its standard library from the wrapper's path.
qemu=$(command -v qemu-arm)
cat >"$wrapper" <<EOF
#!/bin/sh
exec "$qemu" -L "$sysroot" -0 "\$0" "$sysroot/usr/bin/python3.11" "\$@"
EOF
chmod +x "$wrapper"
"$wrapper" -c 'import sys, platform; print(sys.version.split()[0], platform.machine(), sys.executable, sys.prefix)'

step "test packages"
# Pure Python, so Debian's pip on the host fetches them; --platform keeps it to
# wheels that run on armhf.
if [[ ! -f $pylib/.done ]]; then
  rm -rf "$pylib"
  /usr/bin/python3 -m pip install -q --disable-pip-version-check --no-cache-dir \
    --target "$pylib" --only-binary=:all: \
    --platform linux_armv7l --platform manylinux2014_armv7l \
    --python-version 3.11 --implementation cp \
    'pytest>=7' 'hypothesis>=6'
  touch "$pylib/.done"
fi

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

module=$build/tolv.cpython-311-arm-linux-gnueabihf.so
if [[ ! -f $module ]]; then
  echo "armhf_tests: $module was not built" >&2
  ls "$build" >&2
  exit 1
fi
arm-linux-gnueabihf-readelf -h -A "$module" | grep -E 'Machine:|Tag_ABI_VFP_args|Tag_CPU_name'

status=0
if [[ $native_tests == ON ]]; then
  step "native tests (qemu-arm)"
  "$qemu" -L "$sysroot" "$build/tolv_native_tests" || status=1
fi

step "Python tests (qemu-arm)"
export PYTHONPATH=$build:$pylib
export PYTHONNOUSERSITE=1
"$wrapper" -c 'import tolv; print("tolv from", tolv.__file__)'
"$wrapper" -m pytest -p no:cacheprovider tests/python "$@" || status=1

step "done: $([[ $status == 0 ]] && echo passed || echo FAILED)"
exit "$status"
