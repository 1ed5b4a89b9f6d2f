#!/usr/bin/env bash
# Section 7 of scripts/bench: "ktr6ctl site commission" over 20 simulated
# relays against one "ktr6ctl commission", on the same machine in one run,
# and how long a stop signal takes to end a site run. Prints markdown.
#
#   bench/site-bench.sh BIN_DIR
#
# BIN_DIR holds ktr6ctl and ktr6-sim. Takes about 15 seconds.
set -euo pipefail
bin=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
relays=20

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
fail() { echo "bench/site-bench.sh: $*" >&2; exit 1; }
now_ns() { date +%s%N; }
ms() { awk "BEGIN {printf \"%.0f\", $1 / 1000000}"; }

# COM1..COM20 all simulated relays, each a comN link in the program
# directory; COM16..COM20 exist only as links, beyond the default map.
dir=$work/site
mkdir -p "$dir"
cp "$source_dir/resources/KTR.INI" "$dir/"
for n in $(seq "$relays"); do
  "$bin/ktr6-sim" --dir "$dir" --name "com$n" </dev/null >"$dir/sim$n.log" 2>&1 &
  pids+=($!)
done
for n in $(seq "$relays"); do
  for _ in $(seq 50); do grep -q "listening on" "$dir/sim$n.log" && break; sleep 0.1; done
  grep -q "listening on" "$dir/sim$n.log" || fail "ktr6-sim com$n did not start"
done

plan() {
  printf '{"inputs":[{"numerator":%d,"divisor":10,"minus":false},' "$1"
  printf '{"numerator":1,"divisor":4,"minus":true},{"numerator":1,"divisor":12,"minus":false},'
  printf '{"numerator":1,"divisor":1,"minus":false},{"numerator":2,"divisor":3,"minus":false},'
  printf '{"numerator":0,"divisor":1,"minus":false}],"output":5}\n'
}
plan 1 >"$dir/plan.json"
plan 2 >"$dir/other.json"
site_file() { # the site, every relay with plan $1
  local entries=() n
  for n in $(seq "$relays"); do
    entries+=("$(printf '{"label":"KTR6 č. %04d","port":%d,"plan":"%s"}' "$n" "$n" "$1")")
  done
  printf '{"site":"Rozvodňa Žilina, R2","relays":[%s]}\n' "$(IFS=,; echo "${entries[*]}")"
}
site_file plan.json >"$dir/site.json"
site_file other.json >"$dir/other-site.json"
ctl() { KTR6_PROGRAM_DIR=$dir "$bin/ktr6ctl" "$@"; }

# Every relay writes: they all hold 1/1 everywhere, the plan does not.
t0=$(now_ns)
ctl site commission "$dir/site.json" --folder "$work/run" >"$work/site.out" 2>"$work/site.err" ||
  fail "site commission failed: $(cat "$work/site.err")"
site_ms=$(ms $(( $(now_ns) - t0 )))
verified=$(grep -c ': verified$' "$work/site.err" || true)
[ "$verified" -eq "$relays" ] || fail "not every relay verified: $(cat "$work/site.err")"

# One relay, the plan written too.
ctl --port 1 write "$dir/other.json" >/dev/null 2>&1 || fail "write failed"
t0=$(now_ns)
ctl --port 1 commission "$dir/plan.json" --record "$work/one.pdf" >/dev/null 2>"$work/one.err" ||
  fail "commission failed: $(cat "$work/one.err")"
one_ms=$(ms $(( $(now_ns) - t0 )))
ratio=$(awk "BEGIN {printf \"%.2f\", $site_ms / $one_ms}")

# A stop signal (SIGTERM) AFTER ms into a site run in which every relay
# writes: the time from the signal to the program's end, its exit status and
# how many relays were stopped before writing.
stop_run() {
  local plan=$1 after=$2 pid t0 status
  KTR6_PROGRAM_DIR=$dir "$bin/ktr6ctl" site commission "$dir/$plan" --folder "$work/stop-$after" \
    >/dev/null 2>"$work/stop.err" &
  pid=$!
  sleep "$(awk "BEGIN {print $after / 1000}")"
  t0=$(now_ns)
  kill -TERM "$pid" || fail "the site run had ended before the signal: $(cat "$work/stop.err")"
  status=0
  wait "$pid" || status=$?
  echo "$(ms $(( $(now_ns) - t0 ))) $status $(grep -c 'stopped before writing$' "$work/stop.err" || true)"
}
stop_run other-site.json 150 >"$work/early"
stop_run other-site.json 1000 >"$work/late"
read -r early_ms early_status early_stopped <"$work/early"
read -r late_ms late_status late_stopped <"$work/late"
[ "$early_status" -eq 143 ] && [ "$late_status" -eq 143 ] ||
  fail "a stopped site run ended with $early_status and $late_status, not 143"

echo "## 7. A whole site"
echo
echo "The real \`ktr6ctl\` with a program directory whose COM1..COM$relays are all simulated"
echo "relays (\`ktr6-sim\`, each linked as \`comN\`; COM16..COM20 exist only as links), each"
echo "relay's plan differing from what it holds, so every relay is read, written and read back"
echo "(2,520 ms of device pauses) and gets its record. \`site commission\` runs the $relays"
echo "relays at the same time, then writes the summary; one \`commission\` runs one relay."
echo "From the shell's spawn to the process's exit, one run each. One relay after another,"
echo "the site would take $relays times one run; the goal is under 1.5 times."
echo
echo "| Run | Relays | Time (ms) |"
echo "|---|---:|---:|"
echo "| \`ktr6ctl commission\` | 1 | $one_ms |"
echo "| \`ktr6ctl site commission\` | $relays | $site_ms |"
echo
echo "The site takes **$ratio** times one relay."
echo
echo "A stop signal (SIGTERM) ends a site run once the relays whose block has gone are read"
echo "back and recorded; the others send nothing more:"
echo
echo "| Signal sent | From the signal to the exit (ms) | Exit status | Relays stopped before writing |"
echo "|---|---:|---:|---:|"
echo "| 150 ms into the run (the relays being read) | $early_ms | $early_status | $early_stopped of $relays |"
echo "| 1,000 ms into the run (the blocks sent) | $late_ms | $late_status | $late_stopped of $relays |"
echo
