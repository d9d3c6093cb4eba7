# Sourced by the scripts that reach the network (apt-get, mmdebstrap, pip):
#
#   . "$(dirname "$0")/retry.sh"
#   retry apt-get update
#
# retry runs its command up to TOLV_RETRIES times (default 4), pausing
# TOLV_RETRY_PAUSE seconds (default 20) after the first failure and twice as long
# after each further one, so that a mirror caught mid-sync or a dropped connection
# costs a minute or two instead of the run. The command's own output is left as it is;
# after the last try retry names the command and its exit status and returns that
# status. A failure that is not the network's is retried as well and fails the same
# way, only later.
#
# The command runs as the left side of `&&`, where errexit is off: pass a program, or
# a shell function whose steps are chained with `&&`, never one that relies on set -e.
retry() {
  local tries="${TOLV_RETRIES:-4}" pause="${TOLV_RETRY_PAUSE:-20}" try=1 status
  while true; do
    "$@" && return 0
    status=$?
    if (( try >= tries )); then
      echo "retry: failed $try times, last with exit status $status: $*" >&2
      return "$status"
    fi
    echo "retry: try $try of $tries failed with exit status $status, again in ${pause}s: $*" >&2
    sleep "$pause"
    try=$((try + 1)) pause=$((pause * 2))
  done
}
