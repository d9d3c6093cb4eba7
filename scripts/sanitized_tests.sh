#!/usr/bin/env bash
# Builds both extension modules, tolv and tolv_extras._model_io, with AddressSanitizer
# and UndefinedBehaviorSanitizer (g++, no recovery) and runs the whole Python test
# suite against them. Any sanitizer report, in
# the test process or in a subprocess a test starts, makes the script fail.
#
#   scripts/sanitized_tests.sh [pytest arguments...]
#
# TOLV_SANITIZED_BUILD_DIR overrides the build folder (default build/sanitized, git-ignored).
# Without pytest arguments the whole suite runs on TOLV_TEST_WORKERS pytest-xdist workers
# (default 2; 1 runs it in one process).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/retry.sh"
build=${TOLV_SANITIZED_BUILD_DIR:-$root/build/sanitized}
venv=$build/venv
logs=$build/sanitizer-logs

# The sanitizer runtimes must be the ones g++ links against; a bare name back means
# that g++ has none.
command -v g++ >/dev/null || { echo "sanitized_tests: g++ not found" >&2; exit 2; }
runtime() {
  local path
  path=$(g++ -print-file-name="$1")
  if [[ "$path" != /* || ! -e "$path" ]]; then
    echo "sanitized_tests: g++ has no $1 (install its sanitizer runtime)" >&2
    exit 2
  fi
  echo "$path"
}
libasan=$(runtime libasan.so)
libubsan=$(runtime libubsan.so)
# The interpreter does not link libstdc++; loaded only later with the module, its
# __cxa_throw would stay hidden from the ASan interceptor and the first C++ throw
# would stop the process. Preloading it right after the runtime avoids that.
libstdcxx=$(runtime libstdc++.so)

mkdir -p "$build"
if [[ ! -x "$venv/bin/python" ]]; then
  python3 -m venv "$venv"
fi
# numpy for the tests of read_model and the arrays.
retry "$venv/bin/python" -m pip install -q pytest hypothesis numpy pytest-xdist
workers=${TOLV_TEST_WORKERS:-2}
export PATH="$venv/bin:$PATH"
# cmake and ninja come from PyPI where the machine lacks them.
for tool in cmake ninja; do
  command -v "$tool" >/dev/null || retry "$venv/bin/python" -m pip install -q "$tool"
done

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=g++ \
  -DTOLV_SANITIZE=address,undefined \
  -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
ninja -C "$build" -j2 tolv _model_io

# The companion package: a copy of the source tree's, with the module just built in it
# and no other build (a developer's symlink into another build folder, say).
package=$build/python/tolv_extras
rm -rf "$build/python"
mkdir -p "$build/python"
cp -R "$root/python/tolv_extras" "$package"
find "$package" \( -name '*.so' -o -name __pycache__ \) -prune -exec rm -rf {} +
modules=("$build"/_model_io.*.so)
if [[ ${#modules[@]} != 1 || ! -f ${modules[0]} ]]; then
  echo "sanitized_tests: expected one _model_io.*.so in $build, got: ${modules[*]}" >&2
  exit 1
fi
cp "${modules[0]}" "$package/"

# Reports go to files, so that none is lost with a standard error that pytest captures
# when the process halts, and a report from a subprocess whose exit status a test
# inspects cannot pass unnoticed.
rm -rf "$logs"
mkdir -p "$logs" "$build/site"
# libasan, loaded first, takes over the call through which libubsan would set its own
# report file from UBSAN_OPTIONS, so every interpreter (subprocesses too, through
# PYTHONPATH) sets it directly.
cat > "$build/site/sitecustomize.py" <<EOF
import ctypes, os
ctypes.CDLL("$libubsan").__sanitizer_set_report_path(os.fsencode("$logs/ubsan"))
EOF
status=0
(
  cd "$root"
  export LD_PRELOAD="$libasan:$libstdcxx${LD_PRELOAD:+:$LD_PRELOAD}"
  export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=0:log_path=$logs/asan"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
  # Object memory through malloc, so ASan sees every Python object the module allocates.
  export PYTHONMALLOC=malloc
  # The module just built, and the companion package with its own.
  export PYTHONPATH="$build:$build/python:$build/site${PYTHONPATH:+:$PYTHONPATH}"
  "$venv/bin/python" -c 'import sys, tolv, tolv_extras._model_io as m
print("testing", tolv.__file__, "and", m.__file__)
sys.exit(not all(f.startswith(sys.argv[1]) for f in (tolv.__file__, m.__file__)))' "$build/" ||
    exit 1
  # Each worker is an interpreter of its own, started with this environment: sanitized
  # and reporting to the same folder.
  if [[ $# -eq 0 ]]; then
    set -- tests/python
    [[ $workers == 1 ]] || set -- -n "$workers" "$@"
  fi
  exec "$venv/bin/python" -m pytest -p no:cacheprovider -q "$@"
) || status=$?

reports=("$logs"/*)
if [[ -e "${reports[0]}" ]]; then
  echo "sanitized_tests: sanitizer reports:" >&2
  for report in "${reports[@]}"; do
    echo "==> $report" >&2
    cat "$report" >&2
  done
  exit 1
fi
if [[ $status -ne 0 ]]; then
  echo "sanitized_tests: pytest failed with status $status" >&2
fi
exit "$status"
