#!/usr/bin/env bash
# How long a record takes from the line to an MQTT consumer: one record a
# second on an idle relay (a simulated one), ktr6d counting it, and the
# first retained total that includes it at a mosquitto_sub of a real
# mosquitto broker on a free loopback port. The record's moment is when
# "rec 1" is handed to the simulator, which writes it to the line at once;
# the arrival is when the subscriber's line is read here. Prints markdown.
#
#   bench/service-latency.sh BIN_DIR [RECORDS]
#
# BIN_DIR holds ktr6d and ktr6-sim; RECORDS (default 60) records, one a
# second, so it takes RECORDS seconds and a few more.
set -euo pipefail
bin=$(cd "$1" && pwd)
records=${2:-60}
command -v mosquitto >/dev/null || [ -x /usr/sbin/mosquitto ] || {
  echo "bench/service-latency.sh: mosquitto is not installed (scripts/setup)" >&2; exit 1; }
PATH=$PATH:/usr/sbin

work=$(mktemp -d)
pids=()
cleanup() {
  exec 3>&- 2>/dev/null || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
fail() { echo "bench/service-latency.sh: $*" >&2; exit 1; }
# Waits up to 10 s for text in file.
await() { for _ in $(seq 100); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done; return 1; }

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$port" >"$work/mosquitto.conf"
mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
pids+=($!)

mkfifo "$work/sim.in"
"$bin/ktr6-sim" --dir "$work" --name com1 <"$work/sim.in" >"$work/sim.log" 2>&1 &
pids+=($!)
exec 3>"$work/sim.in"
await "$work/sim.log" "listening on" || fail "ktr6-sim did not start"

# Every line the subscriber prints, with the moment it was read (µs); the
# reader ends when the subscriber is killed.
mkfifo "$work/sub.out"
while IFS= read -r line; do
  printf '%s %s\n' "${EPOCHREALTIME/./}" "$line"
done <"$work/sub.out" >"$work/totals" &
pids+=($!)
mosquitto_sub -p "$port" -v -t 'bench/T1/1/total' >"$work/sub.out" &
pids+=($!)

printf '[relay T1]\nport = 1\n[mqtt]\nhost = 127.0.0.1\nport = %s\nprefix = bench\n' "$port" \
  >"$work/ktr6d.conf"
KTR6_PROGRAM_DIR=$work "$bin/ktr6d" --config "$work/ktr6d.conf" --database "$work/counts.sqlite" \
  --socket "$work/ktr6d.sock" 2>"$work/ktr6d.log" &
pids+=($!)
await "$work/ktr6d.log" "T1: counting on" || fail "ktr6d did not count: $(cat "$work/ktr6d.log")"
await "$work/totals" "bench/T1/1/total 0" || fail "no total reached the subscriber"

# The simulator's default set counts 1 per record on IN 1: record i makes the total i.
for i in $(seq "$records"); do
  printf '%s\n' "${EPOCHREALTIME/./}" >>"$work/sent"
  echo "rec 1" >&3
  sleep 1
done
sleep 2

# Each record's latency (ms): to the first total that includes it.
awk '
  NR == FNR { sent[FNR] = $1; records = FNR; next }
  { total = $3 + 0; for (i = done + 1; i <= total && i <= records; ++i) { print ($1 - sent[i]) / 1000; done = i } }
' "$work/sent" "$work/totals" | sort -n >"$work/latency"
arrived=$(wc -l <"$work/latency")
[ "$arrived" -eq "$records" ] || fail "only $arrived of $records records reached the subscriber"
awk '{ ms[NR] = $1 }
  END {
    median = NR % 2 ? ms[(NR + 1) / 2] : (ms[NR / 2] + ms[NR / 2 + 1]) / 2
    rank = int(0.99 * NR); if (rank < 0.99 * NR) ++rank
    printf "| records, one a second | median | 99th percentile | longest |\n|---|---|---|---|\n"
    printf "| %d | %.1f ms | %.1f ms | %.1f ms |\n", NR, median, ms[rank], ms[NR]
  }' "$work/latency"
