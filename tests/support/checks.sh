# Shared by the shell tests: sourced, not run.
#   fail TEXT     notes a failed check and goes on; the test ends with
#                 `[ "$failures" -eq 0 ] || exit 1`
#   die TEXT      a failed check after which nothing else can be checked
#   wait_until S COMMAND...  runs COMMAND every 0.1 s until it succeeds;
#                 false after S seconds
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
die() {
  echo "FAIL: $*"
  exit 1
}
wait_until() {
  local seconds=$1
  shift
  for _ in $(seq $((seconds * 10))); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}
