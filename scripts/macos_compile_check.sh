#!/usr/bin/env bash
# macOS compile check: nothing here runs macOS, so no macOS wheel is made, but the
# sdist must build there. zig's clang (PyPI's ziglang, with its own macOS C library
# headers and libSystem stubs) builds both extension modules, tolv and
# tolv_extras._model_io, with CMake for aarch64-macos and
# x86_64-macos, as CMake does on a Mac: CMakeLists.txt's Apple branch, the same strict
# warnings as every other build, CPython's headers with a pyconfig.h for macOS, and the
# module linked with `-undefined dynamic_lookup`, as macOS extension modules are.
#
# On a Mac the C++ library is the system's, and its headers mark what each macOS
# release's copy lacks as unavailable; here zig's copy of those headers is used with
# that marking on, for the oldest macOS the module is said to build on (13.3: the
# first whose C++ library converts floating point with std::to_chars). Each module is
# linked without a C++ library, as against the system's: it must then leave only
# CPython's and the C++ library's symbols for run time, and everything else it calls
# must be in macOS's libSystem, so that a Linux-only call fails here, at the latest at
# the link.
#
#   scripts/macos_compile_check.sh
#
# TOLV_MACOS_DIR is the work folder (default build/macos); zig's caches live there, so
# a second run is quick. Exits non-zero if either build or either check fails.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/retry.sh"
work="${TOLV_MACOS_DIR:-$root/build/macos}"
mkdir -p "$work"
work="$(cd "$work" && pwd)"
export ZIG_GLOBAL_CACHE_DIR="$work/zig-cache" ZIG_LOCAL_CACHE_DIR="$work/zig-cache"
# The oldest macOS the module builds on, for both architectures.
targets=(aarch64-macos.13.3 x86_64-macos.13.3)

step() { printf '\n== %s (%ds)\n' "$*" "$SECONDS"; }

step "tools"
tools="$work/tools/bin"
if [[ ! -f $work/tools/.done ]]; then
  rm -rf "$work/tools"
  python3 -m venv "$work/tools"
  retry "$tools/python" -m pip install -q --disable-pip-version-check --upgrade pip
  # The same zig as the release wheels.
  retry "$tools/python" -m pip install -q --disable-pip-version-check ziglang==0.17.1 cmake ninja
  touch "$work/tools/.done"
fi
zig="$("$tools/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
echo "zig $("$zig" version)"

step "CPython's headers with a pyconfig.h for macOS"
# This machine's CPython headers; its pyconfig.h, which Python.h includes from its
# own folder, is replaced by one with what CPython's configure finds on macOS (64-bit,
# little-endian) for every macro the public headers test.
python_include="$("$tools/python" -c 'import sysconfig; print(sysconfig.get_path("include"))')"
soabi="$("$tools/python" -c 'import sys; print("cpython-%d%d-darwin" % sys.version_info[:2])')"
headers="$work/python-include"
rm -rf "$headers"
cp -R "$python_include" "$headers"
cat >"$headers/pyconfig.h" <<'EOF'
/* pyconfig.h of a CPython built for macOS on arm64 or x86_64 (the macros that the
   public headers test, as configure sets them there). */
#ifndef Py_PYCONFIG_H
#define Py_PYCONFIG_H
#define _DARWIN_C_SOURCE 1
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define HAVE_BUILTIN_ATOMIC 1
#define HAVE_CLOCK_GETTIME 1
#define HAVE_DECL_RTLD_NOW 1
#define HAVE_DLOPEN 1
#define HAVE_FORK 1
#ifdef __x86_64__
#define HAVE_GCC_ASM_FOR_X87 1
#endif
#define HAVE_LANGINFO_H 1
#define HAVE_PTHREAD_H 1
#define HAVE_READLINK 1
#define HAVE_REALPATH 1
#define HAVE_SSIZE_T 1
#define HAVE_STD_ATOMIC 1
#define HAVE_SYS_SELECT_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TIME_H 1
#define HAVE_UNISTD_H 1
#define HAVE_WCHAR_H 1
#define PY_FORMAT_SIZE_T "z"
#define Py_ENABLE_SHARED 1
#define SIZEOF_DOUBLE 8
#define SIZEOF_FLOAT 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_INT 4
#define SIZEOF_LONG 8
#define SIZEOF_LONG_LONG 8
#define SIZEOF_OFF_T 8
#define SIZEOF_PID_T 4
#define SIZEOF_PTHREAD_KEY_T 8
#define SIZEOF_PTHREAD_T 8
#define SIZEOF_SHORT 2
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_VOID_P 8
#define SIZEOF_WCHAR_T 4
#define SIZEOF__BOOL 1
#define WITH_DOC_STRINGS 1
#define WITH_FREELISTS 1
#define WITH_NEXT_FRAMEWORK 1
#define WITH_PYMALLOC 1
#endif
EOF
echo "$python_include ($soabi)"

# What a module leaves for run time: CPython's and the C++ library's symbols only.
cat >"$work/check_symbols.py" <<'EOF'
import struct
import sys

path, arch = sys.argv[1], sys.argv[2]
data = open(path, "rb").read()
magic, cpu_type, _, file_type, load_commands = struct.unpack_from("<IiiII", data, 0)
expected_cpu = {"aarch64": 0x0100000C, "x86_64": 0x01000007}[arch]
if magic != 0xFEEDFACF or cpu_type != expected_cpu:
    sys.exit(f"macos_compile_check: {path} is no 64-bit Mach-O file for {arch}")
# The load commands: the symbol table, and the libraries symbols are bound to.
libraries = []
offset = 32
for _ in range(load_commands):
    command, size = struct.unpack_from("<II", data, offset)
    if command == 0x2:  # LC_SYMTAB
        symbols_at, symbol_count, strings_at, _ = struct.unpack_from("<IIII", data, offset + 8)
    elif command in (0xC, 0x18 | 0x80000000, 0x1F | 0x80000000):  # LC_LOAD_(WEAK_|RE)DYLIB
        name_at = offset + struct.unpack_from("<I", data, offset + 8)[0]
        libraries.append(data[name_at:data.index(b"\0", name_at)].decode())
    offset += size
from_libraries, left_for_run_time = [], []
for index in range(symbol_count):
    name_at, kind, _, description, _ = struct.unpack_from("<IBBHQ", data, symbols_at + 16 * index)
    if kind & 0xE0 or (kind & 0x0E) != 0 or not kind & 0x01:
        continue  # debugging entries, defined symbols, local ones
    name = data[strings_at + name_at:data.index(b"\0", strings_at + name_at)].decode()
    library = description >> 8  # the 1-based library ordinal, if bound to one
    (from_libraries if 1 <= library <= len(libraries) else left_for_run_time).append(name)
# CPython's C API, and the C++ library's: std::, operator new and delete, the ABI's
# __cxa_ functions, type information and personality routine.
python = ("_Py", "__Py")
cxx = ("__ZNSt", "__ZNKSt", "__ZSt", "__ZTISt", "__ZTSSt", "__ZTVSt", "__ZTIN10__cxxabiv1",
       "__ZTVN10__cxxabiv1", "__Znw", "__Zna", "__Zdl", "__Zda", "___cxa_", "___gxx_personality")
from_python = [n for n in left_for_run_time if n.startswith(python)]
foreign = sorted(n for n in left_for_run_time if not n.startswith(python + cxx))
print(f"{path}: Mach-O {arch}; left for run time: {len(from_python)} symbols of CPython, "
      f"{len(left_for_run_time) - len(from_python) - len(foreign)} of the C++ library; "
      f"{len(from_libraries)} from {', '.join(libraries)}")
if foreign or not from_python:
    sys.exit(f"macos_compile_check: symbols left for run time that neither CPython nor the C++ library defines: {foreign}")
EOF

status=0
for target in "${targets[@]}"; do
  arch=${target%%-*}
  step "$target: CMake build"
  bin="$work/$arch/bin"
  build="$work/$arch/build"
  mkdir -p "$bin"
  # A link gets no C++ library (and zig builds none). CMake links a macOS module with
  # -bundle, which zig's Mach-O linker cannot make (it crashes): the same objects are
  # linked as a shared library instead, which the symbol check reads the same way.
  cat >"$bin/c++" <<EOF
#!/bin/sh
link=-nostdlib++
for arg do
  case \$arg in -c | -E | -S) link= ;; esac
done
for arg do
  shift
  if [ "\$arg" = -bundle ]; then arg=-shared; fi
  set -- "\$@" "\$arg"
done
exec "$zig" c++ -target $target \\
  -U_LIBCPP_HAS_VENDOR_AVAILABILITY_ANNOTATIONS -D_LIBCPP_HAS_VENDOR_AVAILABILITY_ANNOTATIONS=1 \\
  \$link "\$@"
EOF
  printf '#!/bin/sh\nexec "%s" ar "$@"\n' "$zig" >"$bin/ar"
  printf '#!/bin/sh\nexec "%s" ranlib "$@"\n' "$zig" >"$bin/ranlib"
  chmod +x "$bin/c++" "$bin/ar" "$bin/ranlib"
  rm -rf "$build"
  # A static library for CMake's compiler checks: they need no link, which would make
  # zig build its C++ library once more for each check.
  if ! "$tools/cmake" -S "$root" -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$tools/ninja" \
      -DCMAKE_SYSTEM_NAME=Darwin -DCMAKE_SYSTEM_PROCESSOR="${arch/aarch64/arm64}" \
      -DCMAKE_TRY_COMPILE_TARGET_TYPE=STATIC_LIBRARY \
      -DCMAKE_CXX_COMPILER="$bin/c++" -DCMAKE_AR="$bin/ar" -DCMAKE_RANLIB="$bin/ranlib" \
      -DCMAKE_BUILD_TYPE=Release -DTOLV_WERROR=ON \
      -DPython_EXECUTABLE="$tools/python" -DPython_INCLUDE_DIR="$headers" -DSKBUILD_SOABI="$soabi" ||
    ! "$tools/cmake" --build "$build" --parallel 2; then
    echo "macos_compile_check: $target: the build failed" >&2
    status=1
    continue
  fi
  step "$target: symbols"
  for module in tolv _model_io; do
    built=("$build/$module".*.so)
    if [[ ${#built[@]} != 1 || ! -f ${built[0]} ]]; then
      echo "macos_compile_check: $target: expected one $module.*.so, got: ${built[*]}" >&2
      status=1
      continue
    fi
    "$tools/python" "$work/check_symbols.py" "${built[0]}" "$arch" || status=1
  done
done

step "done: $([[ $status == 0 ]] && echo "both modules build for ${targets[*]}" || echo FAILED)"
exit "$status"
