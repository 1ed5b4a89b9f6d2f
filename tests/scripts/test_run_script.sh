#!/usr/bin/env bash
# scripts/run: --help prints its help and nothing else; a taken or malformed
# KTR6_DISPLAY stops it with a message. In each case it must end before the
# slow steps: installing, building, starting an X server.
#
# Usage: test_run_script.sh REPO_DIR
set -uo pipefail
repo=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/ktr6-run-test.XXXXXX")
xvfb_pid=""
cleanup() {
  [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
# shellcheck source=../support/checks.sh
. "$(dirname "$0")/../support/checks.sh"

# Stand-ins for every program the slow steps start: each notes its call.
mkdir "$work/stubs"
for tool in dpkg apt-get sudo cmake ninja Xvfb openbox xdpyinfo; do
  printf '#!/bin/sh\necho "%s $*" >>"%s/called"\nexit 1\n' "$tool" "$work" >"$work/stubs/$tool"
  chmod +x "$work/stubs/$tool"
done

# Runs scripts/run with the given environment and arguments, without a
# display, against an empty build folder; sets out, err and rc.
run() {
  rm -f "$work/called"
  env -u DISPLAY -u WAYLAND_DISPLAY PATH="$work/stubs:$PATH" BUILD_DIR="$work/build" "$@" \
    >"$work/out" 2>"$work/err"
  rc=$?
  out=$(cat "$work/out")
  err=$(cat "$work/err")
  if [ -e "$work/called" ]; then fail "$*: went on to $(head -n 1 "$work/called")"; fi
  if [ -e "$work/build" ]; then fail "$*: made a build folder"; fi
}

for option in --help -h; do
  run KTR6_DISPLAY=97 "$repo/scripts/run" "$option"
  [ "$rc" -eq 0 ] || fail "$option: exit status $rc"
  [ -z "$err" ] || fail "$option: wrote to stderr: $err"
  [ "$(head -n 1 <<<"$out")" = "Usage: scripts/run [--real]" ] ||
    fail "$option: first line is \"$(head -n 1 <<<"$out")\""
  grep -q '^  KTR6_DISPLAY ' <<<"$out" || fail "$option: KTR6_DISPLAY is not explained"
  ! grep -qE '^(set |cd |#)' <<<"$out" || fail "$option: printed script lines: $out"
done

run "$repo/scripts/run" --bogus
[ "$rc" -eq 2 ] || fail "unknown option: exit status $rc"
grep -q -- '--bogus' <<<"$err" || fail "unknown option: message is \"$err\""

for value in abc 9x -1; do
  run KTR6_DISPLAY="$value" "$repo/scripts/run"
  [ "$rc" -eq 2 ] || fail "KTR6_DISPLAY=$value: exit status $rc"
  grep -q "KTR6_DISPLAY" <<<"$err" || fail "KTR6_DISPLAY=$value: message is \"$err\""
done

# A display another X server holds: the script must stop and say so, not
# announce a display on which nothing of its own runs.
if command -v Xvfb >/dev/null; then
  Xvfb -displayfd 5 -screen 0 320x200x24 -nolisten tcp 5>"$work/display" >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
  done
  taken=$(head -n 1 "$work/display")
  if [ -z "$taken" ]; then
    fail "the test's own Xvfb did not start"
  else
    for value in "$taken" ":$taken"; do
      run KTR6_DISPLAY="$value" "$repo/scripts/run"
      [ "$rc" -eq 1 ] || fail "taken KTR6_DISPLAY=$value: exit status $rc"
      grep -q "display :$taken (KTR6_DISPLAY) is taken" <<<"$err" ||
        fail "taken KTR6_DISPLAY=$value: message is \"$err\""
      ! grep -q "runs on the virtual display" <<<"$out" ||
        fail "taken KTR6_DISPLAY=$value: announced a display: $out"
    done
  fi
else
  fail "Xvfb is missing (scripts/setup installs it)"
fi

[ "$failures" -eq 0 ] || exit 1
echo "PASS: scripts/run"
