#!/usr/bin/env bash
# Sets up Debian's CPython 3.11 of a foreign architecture (armhf or arm64) to run
# under qemu on this Debian 12 x86-64 machine, for building against its headers and
# testing what was built for it. Run as root (it installs packages with apt-get).
#
#   scripts/target_python.sh ARCH DIR
#
# Fills DIR with:
#   sysroot/               the interpreter, its standard library and headers, and the
#                          shared libraries it and its extension modules load
#   sysroot/usr/bin/python3.11-qemu
#                          the interpreter run through qemu (use it like python3.11)
#   pylib/                 pytest and hypothesis for the target, for PYTHONPATH
#   debs/                  the downloaded packages, reused while the archive has the
#                          same versions
set -euo pipefail

if (( $# != 2 )); then
  echo "usage: $0 armhf|arm64 DIR" >&2
  exit 2
fi
arch=$1
case $arch in
  armhf) qemu_name=qemu-arm pip_machine=armv7l ;;
  arm64) qemu_name=qemu-aarch64 pip_machine=aarch64 ;;
  *) echo "target_python: unknown architecture $arch" >&2; exit 2 ;;
esac
mkdir -p "$2"
work=$(cd "$2" && pwd)
sysroot=$work/sysroot
debs=$work/debs
pylib=$work/pylib
wrapper=$sysroot/usr/bin/python3.11-qemu

# The target's interpreter is not installed (its package conflicts with the native
# one); these packages are unpacked into the sysroot instead.
target_packages=(
  libc6 libgcc-s1 libstdc++6
  python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libpython3.11-dev
  zlib1g libexpat1 libffi8 libssl3 libbz2-1.0 liblzma5 libuuid1
  libcrypt1 libsqlite3-0 libncursesw6 libtinfo6 libreadline8 libdb5.3
)

export DEBIAN_FRONTEND=noninteractive
apt_get=(apt-get -o DPkg::Lock::Timeout=600 -q)
if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
  dpkg --add-architecture "$arch"
  "${apt_get[@]}" update
fi
if ! command -v "$qemu_name" >/dev/null || ! /usr/bin/python3 -m pip --version >/dev/null 2>&1; then
  # No recommends: qemu-user would otherwise bring binfmt registration along.
  "${apt_get[@]}" install -y --no-install-recommends qemu-user python3 python3-pip ca-certificates
fi

# Refetch when the archive moved on; keep the cached .debs otherwise.
want=$(apt-cache policy "${target_packages[@]/%/:$arch}" | awk '/^[^ ]/ {p=$1} /Candidate:/ {print p, $2}')
if [[ ! -f $debs/.list ]] || [[ $(cat "$debs/.list") != "$want" ]]; then
  rm -rf "$debs"
  mkdir -p "$debs"
  (cd "$debs" && "${apt_get[@]}" download "${target_packages[@]/%/:$arch}")
  printf '%s\n' "$want" >"$debs/.list"
fi

rm -rf "$sysroot"
mkdir -p "$sysroot"
for deb in "$debs"/*.deb; do
  dpkg-deb -x "$deb" "$sysroot"
done
# The interpreter takes the wrapper's path as its own (qemu's -0 sets argv[0]), so
# sys.executable is the wrapper, and child interpreters started from sys.executable
# run under the emulator as well, even with an emptied environment. It sits next to
# the real binary, so the interpreter finds its standard library from its path.
qemu=$(command -v "$qemu_name")
cat >"$wrapper" <<EOF
#!/bin/sh
exec "$qemu" -L "$sysroot" -0 "\$0" "$sysroot/usr/bin/python3.11" "\$@"
EOF
chmod +x "$wrapper"
"$wrapper" -c 'import sys, platform; print(sys.version.split()[0], platform.machine(), sys.executable)'

# Pure Python, so the host's pip fetches them; --platform keeps it to wheels that
# run on the target.
if [[ ! -f $pylib/.done ]]; then
  rm -rf "$pylib"
  /usr/bin/python3 -m pip install -q --disable-pip-version-check --no-cache-dir \
    --target "$pylib" --only-binary=:all: \
    --platform "linux_$pip_machine" --platform "manylinux2014_$pip_machine" \
    --python-version 3.11 --implementation cp \
    'pytest>=7' 'hypothesis>=6'
  touch "$pylib/.done"
fi
