#!/usr/bin/env bash
# Builds the libFuzzer targets with ASan and UBSan and runs each for a bounded time.
#
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [RUNS_PER_TARGET]
#   SECONDS_PER_TARGET  default 60; RUNS_PER_TARGET  default unlimited (-1)
# Env: BUILD_DIR (default build/fuzz), TARGETS (default every target whose source
# tests/fuzz/<target>.cpp exists), FUZZ_JOBS (targets run at a time, default 2).
# Each target runs with one worker; new inputs go to a scratch copy of the seed corpus,
# crashes to $BUILD_DIR/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/retry.sh

seconds="${1:-60}"
runs="${2:--1}"
build_dir="${BUILD_DIR:-build/fuzz}"
if [[ -z ${TARGETS:-} ]]; then
  TARGETS=
  for target in fuzz_cameras fuzz_images fuzz_points3D fuzz_overlaps fuzz_model_binary fuzz_model_text \
      fuzz_observations; do
    [[ ! -f tests/fuzz/$target.cpp ]] || TARGETS+="${TARGETS:+ }$target"
  done
fi
targets=$TARGETS

if ! command -v clang++ >/dev/null 2>&1 || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a >/dev/null 2>&1; then
  # Other jobs on the machine may hold the package lock for a while.
  apt_get="apt-get -o DPkg::Lock::Timeout=600"
  retry $apt_get update -qq
  # Newer releases name the runtime package without its version.
  runtime=libclang-rt-dev
  apt-cache show "$runtime" >/dev/null 2>&1 || runtime=libclang-rt-14-dev
  retry $apt_get install -y -qq clang "$runtime"
fi

CC=clang CXX=clang++ cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTOLV_BUILD_PYTHON=OFF -DTOLV_BUILD_FUZZERS=ON -DTOLV_SANITIZE=address,undefined >/dev/null
ninja -C "$build_dir" -j2 $targets

corpus="$build_dir/corpus"
rm -rf "$corpus"
python3 scripts/make_fuzz_corpus.py "$corpus"
rm -rf "$build_dir/artifacts"
mkdir -p "$build_dir/artifacts"

# Each run is one process on one core: FUZZ_JOBS of them at a time (default 2, the
# machine's cores), each still for its whole time; the reports follow in target order.
jobs_at_once="${FUZZ_JOBS:-2}"
[[ $jobs_at_once =~ ^[1-9][0-9]*$ ]] || { echo "fuzz: FUZZ_JOBS is a number of runs, not $jobs_at_once" >&2; exit 2; }
run_target() {  # target: its run, its exit status in $build_dir/$target.status
  local target=$1 code=0
  # close_fd_mask=2 drops the expected aborts' diagnostics; libFuzzer's own output and
  # the sanitizers' reports still reach the log.
  "$build_dir/$target" "$corpus/$target" -max_total_time="$seconds" -runs="$runs" \
    -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$build_dir/artifacts/$target-" \
    >"$build_dir/$target.log" 2>&1 || code=$?
  echo "$code" >"$build_dir/$target.status"
}
for target in $targets; do
  # A target without seeds of its own starts from an empty corpus.
  mkdir -p "$corpus/$target"
  rm -f "$build_dir/$target.status"
  while (( $(jobs -rp | wc -l) >= jobs_at_once )); do wait -n || true; done
  run_target "$target" &
done
wait

status=0
for target in $targets; do
  log="$build_dir/$target.log"
  if [[ "$(cat "$build_dir/$target.status" 2>/dev/null)" == 0 ]]; then
    echo "== $target: ok"
  else
    echo "== $target: FAILED (log: $log)"
    status=1
    # Rerun each crash input with standard error open, to show what the target reported.
    for crash in "$build_dir/artifacts/$target-"*; do
      [ -e "$crash" ] || continue
      echo "-- $crash"
      "$build_dir/$target" "$crash" 2>&1 | grep -vE '^(INFO|Running|Executed)' | tail -n 30 || true
    done
  fi
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" || true
done
exit "$status"
