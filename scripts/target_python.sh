#!/usr/bin/env bash
# Makes a lean root of one Debian release and architecture holding that release's
# CPython interpreters and their headers, and a wrapper for each interpreter that runs
# it on this Debian 12 x86-64 machine: through qemu for arm64 and armhf, through the
# root's own dynamic loader for amd64 (a newer release's interpreter needs its newer C
# library). For building against Debian's headers of that architecture and testing
# what was built with Debian's interpreter. Run as root (it installs mmdebstrap and
# qemu-user with apt-get where they are missing).
#
#   scripts/target_python.sh ARCH SUITE DIR [VERSION ...]
#
# ARCH is amd64, arm64 or armhf; SUITE a Debian release (bullseye, bookworm, trixie,
# sid); VERSION a CPython that the release ships (default: bullseye 3.9, bookworm 3.11,
# trixie 3.13, sid 3.14 and 3.15). Fills DIR with the root, and for each VERSION:
#
#   DIR/usr/bin/python3.X-run   the interpreter, run like python3.X; it takes the
#                               wrapper's path as its own, so sys.executable is the
#                               wrapper, child interpreters run the same way, and a
#                               venv made with `python3.X-run -m venv --without-pip`
#                               works too
#
# TOLV_ROOT_PACKAGES names more of the release's packages for the root, space-separated
# (python3-numpy, say, where PyPI has no wheel for the architecture).
#
# The root is made with mmdebstrap's extract variant: the packages and their
# dependencies are unpacked, no maintainer script runs (nothing runs under emulation),
# and it takes seconds. It is reused while ARCH and SUITE stay the same and it holds
# every package asked for (a root made with more serves a caller asking for fewer);
# remove DIR to fetch it again. Debian's interpreters come without pip (and
# ensurepip here would look for its wheels on this machine, not in the root): an amd64
# root's DIR/usr/share/python-wheels holds the release's pip wheel.
set -euo pipefail
. "$(dirname "$0")/retry.sh"

if (( $# < 3 )); then
  echo "usage: $0 amd64|arm64|armhf SUITE DIR [3.X ...]" >&2
  exit 2
fi
arch=$1 suite=$2
shift 2
mkdir -p "$1"
dir=$(cd "$1" && pwd)
shift
versions=("$@")
if (( ${#versions[@]} == 0 )); then
  case $suite in
    bullseye) versions=(3.9) ;;
    bookworm) versions=(3.11) ;;
    trixie) versions=(3.13) ;;
    sid | unstable) versions=(3.14 3.15) ;;
    *) echo "target_python: name the CPython versions of $suite" >&2; exit 2 ;;
  esac
fi
case $arch in
  amd64) qemu_name= ;;
  # The ARMv8.0 baseline of the aarch64 wheels; qemu's default CPU also emulates
  # pointer authentication, which Debian 13's arm64 binaries use, several times slower.
  arm64) qemu_name=qemu-aarch64 qemu_cpu=cortex-a53 ;;
  # ARMv7-A with VFPv3 and no integer division: Debian's armhf baseline and nothing
  # newer, as the armv7l wheels are built for.
  armhf) qemu_name=qemu-arm qemu_cpu=cortex-a8 ;;
  *) echo "target_python: unknown architecture $arch" >&2; exit 2 ;;
esac

packages=(libstdc++6)
# pip for the venvs of the amd64 interpreters (a release from 2023 on names it so).
[[ $arch != amd64 ]] || packages+=(python3-pip-whl)
for version in "${versions[@]}"; do
  packages+=("python$version" "libpython$version-dev")
done
read -r -a extra_packages <<<"${TOLV_ROOT_PACKAGES:-}"
packages+=("${extra_packages[@]}")

export DEBIAN_FRONTEND=noninteractive
apt_get=(apt-get -o DPkg::Lock::Timeout=600 -q)
host_tools=()
command -v mmdebstrap >/dev/null || host_tools+=(mmdebstrap)
[[ -z $qemu_name ]] || command -v "$qemu_name" >/dev/null || host_tools+=(qemu-user)
if (( ${#host_tools[@]} > 0 )); then
  retry "${apt_get[@]}" update
  # No recommends: qemu-user would otherwise bring binfmt registration along.
  retry "${apt_get[@]}" install -y --no-install-recommends "${host_tools[@]}"
fi

# The archive this machine's own packages come from (the first that serves its own
# release), for the one release asked for only: mmdebstrap's default would add that
# release's security and update archives, which need not carry every architecture.
mirror=${TOLV_DEBIAN_MIRROR:-}
if [[ -z $mirror ]]; then
  host_release=$(. /etc/os-release && echo "$VERSION_CODENAME")
  mirror=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 'Created-By: Packages' |
    awk -v release="$host_release" '$2 == release {print $1; exit}')
  [[ -n $mirror ]] || { echo "target_python: no Debian archive for $host_release in apt's sources; set TOLV_DEBIAN_MIRROR" >&2; exit 1; }
fi

make_root() {  # chained: retry runs it with errexit off
  rm -rf "$dir" &&
    mkdir -p "$dir" &&
    # The archive reached here is a fixed copy, whose sid Release file has expired.
    mmdebstrap --quiet --variant=extract --architectures="$arch" \
      --aptopt='Acquire::Check-Valid-Until "false"' \
      --include="$(IFS=,; echo "${packages[*]}")" "$suite" "$dir" "$mirror"
}

key="$arch $suite ${packages[*]}"
has_packages() {  # the root in DIR is of ARCH and SUITE and holds every package asked for
  local made package
  [[ -f $dir/.tolv-root ]] || return 1
  read -r -a made <"$dir/.tolv-root"
  [[ ${made[0]:-} == "$arch" && ${made[1]:-} == "$suite" ]] || return 1
  for package in "${packages[@]}"; do
    [[ " ${made[*]:2} " == *" $package "* ]] || return 1
  done
}
if ! has_packages; then
  start=$SECONDS
  retry make_root
  # Releases with merged /usr ship their files under usr/ only; the extract variant
  # leaves out the top-level links that the programs' loader paths go through.
  for link in bin sbin lib lib64; do
    if [[ ! -e $dir/$link && -d $dir/usr/$link ]]; then ln -s "usr/$link" "$dir/$link"; fi
  done
  printf '%s\n' "$key" >"$dir/.tolv-root"
  echo "target_python: $arch $suite root in $((SECONDS - start)) s, $(du -sh "$dir" | cut -f1)"
fi

for version in "${versions[@]}"; do
  wrapper=$dir/usr/bin/python$version-run
  # It sits next to the real binary, so the interpreter finds its standard library
  # from the path it is given as its own (qemu's -0, the loader's --argv0).
  if [[ -z $qemu_name ]]; then
    loader=$(cd "$dir" && ls lib64/ld-linux-x86-64.so.2 usr/lib64/ld-linux-x86-64.so.2 2>/dev/null | head -1)
    [[ -n $loader ]] || { echo "target_python: no dynamic loader in $dir" >&2; exit 1; }
    cat >"$wrapper" <<EOF
#!/bin/sh
exec "$dir/$loader" --library-path "$dir/lib/x86_64-linux-gnu:$dir/usr/lib/x86_64-linux-gnu" --argv0 "\$0" "$dir/usr/bin/python$version" "\$@"
EOF
  else
    cat >"$wrapper" <<EOF
#!/bin/sh
exec "$(command -v "$qemu_name")" -cpu $qemu_cpu -L "$dir" -0 "\$0" "$dir/usr/bin/python$version" "\$@"
EOF
  fi
  chmod +x "$wrapper"
  "$wrapper" -c 'import platform, sys; print("target_python:", sys.executable, sys.version.split()[0], platform.machine())'
done
