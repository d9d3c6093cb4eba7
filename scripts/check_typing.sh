#!/usr/bin/env bash
# Type checks in a fresh venv of their own: stubtest compares the shipped stubs
# (site-packages/tolv-stubs) with the installed extension module, mypy --strict and
# pyright check the installed tolv_extras package, then examples/ against both.
#
#   scripts/check_typing.sh          PYTHON=python3.12 scripts/check_typing.sh
#
# pyright comes from PyPI with its JavaScript bundled in the wheel; the [nodejs] extra
# brings a Node.js binary as a wheel too, so nothing is downloaded when it runs.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/retry.sh"
python="${PYTHON:-python3}"
work="$(mktemp -d "${TMPDIR:-/tmp}/tolv-typing.XXXXXX")"
trap 'rm -rf "$work"' EXIT
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
# Keep mypy's cache out of the work tree.
export MYPY_CACHE_DIR="$work/mypy-cache"
# No check for a newer pyright release (a network call), and pyright's own Node.js.
export PYRIGHT_PYTHON_IGNORE_WARNINGS=1 PYRIGHT_PYTHON_GLOBAL_NODE=0

"$python" -m venv "$work/venv"
venv_python="$work/venv/bin/python"
retry "$venv_python" -m pip install -q --upgrade pip
# The plot extra brings matplotlib and numpy (both typed) for examples/overlap_matrix.py.
retry "$venv_python" -m pip install -q "$root[plot]" mypy "pyright[nodejs]"

site_packages="$("$venv_python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
if [[ ! -f "$site_packages/tolv-stubs/__init__.pyi" ]]; then
  echo "check_typing: the wheel did not install tolv-stubs/__init__.pyi" >&2
  exit 1
fi

# Run from the scratch folder so that only the installed module and stubs are seen.
cd "$work"

# Color is declared @type_check_only (no attribute of tolv at run time), which stubtest
# accepts, so no allowlist is needed.
echo "== stubtest"
"$venv_python" -m mypy.stubtest tolv

echo "== pyright tolv-stubs"
"$work/venv/bin/pyright" --pythonpath "$venv_python" "$site_packages/tolv-stubs/__init__.pyi"

# The companion package as installed, py.typed included.
if [[ ! -f "$site_packages/tolv_extras/py.typed" ]]; then
  echo "check_typing: the wheel did not install tolv_extras/py.typed" >&2
  exit 1
fi
echo "== mypy --strict tolv_extras"
"$venv_python" -m mypy --strict -p tolv_extras
echo "== pyright tolv_extras"
"$work/venv/bin/pyright" --pythonpath "$venv_python" "$site_packages/tolv_extras"

shopt -s globstar nullglob
examples=("$root"/examples/**/*.py)
if (( ${#examples[@]} == 0 )); then
  echo "== no examples to check"
  exit 0
fi

# matplotlib ships its types from 3.8 on, which needs CPython 3.9; the newest release
# for CPython 3.8 (3.7) has none. Only then are matplotlib's modules taken as untyped
# (Any); everything else, numpy included, is checked as on newer versions.
mypy_config=()
if ! "$venv_python" -c 'import os, sys, matplotlib
sys.exit(not os.path.exists(os.path.join(os.path.dirname(matplotlib.__file__), "py.typed")))'; then
  printf '[mypy]\n[mypy-matplotlib.*]\nignore_missing_imports = True\n' >"$work/mypy-untyped-matplotlib.ini"
  mypy_config=(--config-file "$work/mypy-untyped-matplotlib.ini")
  echo "== note: this matplotlib has no type information; mypy takes it as untyped"
fi

echo "== mypy --strict examples/"
"$venv_python" -m mypy --strict "${mypy_config[@]}" "$root/examples"

echo "== pyright examples/"
"$work/venv/bin/pyright" --pythonpath "$venv_python" "$root/examples"
