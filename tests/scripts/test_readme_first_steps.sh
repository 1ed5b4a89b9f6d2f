#!/usr/bin/env bash
# The README's "First ten minutes", run once as written in a release folder:
# the simulator from the first block in the background, the second block's
# commands one by one against it. Then the README's recovery for a damaged
# settings file, which must give the default file and work there too, and
# the list of runtime packages.
#
# Usage: test_readme_first_steps.sh REPO_DIR BUILD_DIR CMAKE_COMMAND
set -uo pipefail
repo=$1
build=$2
cmake=$3
readme=$repo/README.md
work=$(mktemp -d "${TMPDIR:-/tmp}/ktr6-readme-test.XXXXXX")
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill -INT -- "-$sim_pid" 2>/dev/null
    for _ in $(seq 50); do
      kill -0 "$sim_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL -- "-$sim_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
# shellcheck source=../support/checks.sh
. "$(dirname "$0")/../support/checks.sh"

# The fenced blocks of the README section titled $1, each as one file
# $work/block.N (N from 1), in order; prints how many.
extract_blocks() {
  awk -v title="## $1" -v out="$work/block." '
    $0 == title { inside = 1; next }
    inside && /^## / { inside = 0 }
    inside && /^```/ { if (fenced) { fenced = 0 } else { fenced = 1; n++; printf "" > (out n) } next }
    inside && fenced { print >> (out n) }
    END { print n + 0 }' "$readme"
}

blocks=$(extract_blocks "First ten minutes")
[ "$blocks" -eq 2 ] || die "\"First ten minutes\" has $blocks command blocks, expected 2 (one per terminal)"
cp "$work/block.1" "$work/first-terminal"
cp "$work/block.2" "$work/second-terminal"

release=$work/release
"$cmake" --install "$build" --prefix "$release" >"$work/install.log" 2>&1 ||
  die "cmake --install failed: $(tail -n 5 "$work/install.log")"
release=$(cd "$release" && pwd -P)
cd "$release" || die "no release folder"
unset KTR6_PROGRAM_DIR

# First terminal: the simulator, until Ctrl+C (SIGINT to its process group).
setsid bash "$work/first-terminal" >"$work/sim.log" 2>&1 </dev/null &
sim_pid=$!
for _ in $(seq 100); do
  grep -q "listening on" "$work/sim.log" && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
grep -q "listening on $release/com1 -> " "$work/sim.log" ||
  die "the simulator did not come up beside the programs: $(cat "$work/sim.log")"

# Second terminal: each command as it stands, one after the other.
run_line() {
  timeout 60 bash -c "$1" >"$work/out" 2>"$work/err"
  rc=$?
  [ "$rc" -eq 0 ] || fail "\"$1\" ended with $rc: $(cat "$work/err")"
}
commands=0
while IFS= read -r line; do
  case "$line" in '' | '#'*) continue ;; esac
  commands=$((commands + 1))
  run_line "$line"
  case "$line" in
    *"ktr6ctl read"*)
      grep -q '^IN 6 ' "$work/out" || fail "\"$line\" printed no parameter table: $(cat "$work/out")"
      ;;
    *"ktr6ctl monitor --count 10"*)
      records=$(grep -vc '^time,' "$work/out")
      [ "$records" -eq 10 ] || fail "\"$line\" printed $records records: $(cat "$work/out")"
      ;;
    *) fail "the test does not know what \"$line\" should print" ;;
  esac
done <"$work/second-terminal"
[ "$commands" -eq 2 ] || fail "the second terminal has $commands commands, expected read and monitor"

# The recovery for a damaged settings file, in the release folder (which has
# no resources/): the five lines as shown, and the command that writes them.
lines_block=""
write_block=""
n=$(extract_blocks "Using a real port")
for i in $(seq "$n"); do
  if head -n 1 "$work/block.$i" | grep -q '^Port='; then lines_block=$work/block.$i; fi
  if grep -q '> KTR.INI' "$work/block.$i"; then write_block=$work/block.$i; fi
done
if [ -z "$lines_block" ] || [ -z "$write_block" ]; then
  fail "\"Using a real port\" no longer shows the default settings file and the command writing it"
else
  diff <(tr -d '\r' <"$repo/resources/KTR.INI" | sed 's/ *$//') "$lines_block" >/dev/null ||
    fail "the five lines in the README differ from resources/KTR.INI: $(cat "$lines_block")"
  printf 'Port=\r\n' >KTR.INI
  timeout 10 bash "$write_block" || fail "the README's command to write KTR.INI failed"
  cmp -s KTR.INI "$repo/resources/KTR.INI" ||
    fail "the README's command writes $(od -c KTR.INI | head -n 3), not resources/KTR.INI"
  run_line "./ktr6ctl read"
fi

# The runtime packages the README lists hold every Qt library the installed
# programs load.
packages=$(grep '^apt-get install libqt6' "$readme")
for program in ktr6 ktr6ctl ktr6-sim; do
  for library in $(readelf -d "$release/$program" | sed -n 's/.*NEEDED.*\[\(libQt6.*\)\]/\1/p'); do
    path=$(ldconfig -p | awk -v l="$library" '$1 == l { print $NF; exit }')
    package=$(dpkg -S "$(readlink -f "$path")" 2>/dev/null | sed 's/:.*//')
    [ -n "$package" ] || { fail "$program: no package holds $library"; continue; }
    grep -qw -- "$package" <<<"$packages" || fail "$program needs $package, the README's list lacks it"
  done
done

[ "$failures" -eq 0 ] || exit 1
echo "PASS: README first steps"
