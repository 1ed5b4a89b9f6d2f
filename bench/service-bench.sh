#!/usr/bin/env bash
# Section 8 of scripts/bench: the counting service ktr6d against simulated
# relays (ktr6-sim over pseudo-terminals) and a real SQLite file. Prints
# markdown on stdout, progress on stderr.
#   a) 20 relays, each 100 records/s on its six inputs, for 60 s: every
#      record counted exactly; the service's CPU and peak memory
#   b) 100 kill -9 at random moments under 500 records/s, the service
#      started again each time: integrity check, nothing counted twice, what
#      each kill loses and where it went
#
#   c) the MQTT broker stopped for a minute and started again, then the
#      service stopped and started again ten times while counting: every
#      closed interval reaches a subscriber on a persistent session, in order
#   d) one record a second: from the record on the line to the first
#      published total that holds it; and bench/service-latency.sh beside it
#
#   bench/service-bench.sh BIN_DIR [--quick] [--parts LETTERS]
#
# BIN_DIR holds ktr6d, ktr6ctl and ktr6-sim. --quick: shorter runs and 10
# kills; --parts: only those measurements (e.g. --parts cd). Needs sqlite3,
# python3, mosquitto and mosquitto-clients (scripts/setup installs them).
# Takes about ten minutes.
set -euo pipefail
bin=$(cd "$1" && pwd)
shift
relays=20
load_seconds=60
kills=100
away_seconds=60
before_seconds=10
stops=10
latency_records=120
latency_handed=60
parts=abcd
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) load_seconds=10; kills=10; away_seconds=10; before_seconds=3; stops=3; latency_records=20; latency_handed=10 ;;
    --parts)
      [[ ${2:-} =~ ^[abcd]+$ ]] || { echo "bench/service-bench.sh: --parts takes letters a to d" >&2; exit 2; }
      parts=$2; shift ;;
    *) echo "bench/service-bench.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
fail() { echo "bench/service-bench.sh: $*" >&2; exit 1; }
say() { echo "bench/service-bench.sh: $*" >&2; }
now_ns() { date +%s%N; }
group() { sed ':a;s/\B[0-9]\{3\}\>/,&/;ta' <<<"$1"; }
cpu_ticks() { awk '{print $14+$15}' "/proc/$1/stat"; }
status_mb() { awk -v key="$2:" '$1==key {printf "%.1f", $2/1024}' "/proc/$1/status"; }
sql() { sqlite3 -readonly "$1" "$2"; }

# Simulated relays: ktr6-sim N in $dir, linked as comN, its stdin a fifo kept
# open on fd sim_fd[N], its log in $dir/simN.log. Started paused.
declare -A sim_fd sim_pid
start_sim() { # DIR N RATES
  local dir=$1 n=$2 fd
  mkfifo "$dir/sim$n.in"
  "$bin/ktr6-sim" --dir "$dir" --name "com$n" --paused --rate "$3" \
    <"$dir/sim$n.in" >"$dir/sim$n.log" 2>&1 &
  sim_pid[$n]=$!
  pids+=($!)
  exec {fd}>"$dir/sim$n.in"
  sim_fd[$n]=$fd
}
wait_listening() { # DIR N
  for _ in $(seq 100); do grep -q "listening on" "$1/sim$2.log" && return 0; sleep 0.05; done
  fail "ktr6-sim com$2 did not start: $(cat "$1/sim$2.log")"
}
sim_say() { echo "$3" >&"${sim_fd[$2]}"; } # DIR N COMMAND
# The counters of simulator N, as "records dropped closed quiet": asks for
# them and waits for the new line.
sim_stats() { # DIR N
  local log=$1/sim$2.log before line
  before=$(grep -c '^stats ' "$log" || true)
  sim_say "$1" "$2" stats
  for _ in $(seq 200); do
    [ "$(grep -c '^stats ' "$log" || true)" -gt "$before" ] && break
    sleep 0.01
  done
  line=$(grep '^stats ' "$log" | tail -n 1)
  [ "$(grep -c '^stats ' "$log")" -gt "$before" ] || fail "ktr6-sim com$2 gave no counters"
  sed 's/.* records=\([0-9]*\) dropped=\([0-9]*\) closed=\([0-9]*\) quiet=\([0-9]*\) .*/\1 \2 \3 \4/' \
    <<<"$line"
}
# Waits until the service's log ($1) holds $2 lines matching $3, or fails.
wait_log() { # LOG COUNT PATTERN SECONDS
  local deadline=$(( $(now_ns) + $4 * 1000000000 ))
  while [ "$(grep -c -- "$3" "$1" || true)" -lt "$2" ]; do
    [ "$(now_ns)" -lt "$deadline" ] || fail "ktr6d did not log \"$3\" $2 times: $(tail -n 5 "$1")"
    sleep 0.02
  done
}
# ktr6d on DIR's configuration and database, its log in DIR/ktr6d.log.
run_service() { # DIR
  KTR6_PROGRAM_DIR=$1 "$bin/ktr6d" --config "$1/ktr6d.conf" --database "$1/counts.sqlite" \
    --socket "$1/ktr6d.sock" >"$1/ktr6d.log" 2>&1 &
  service=$!
}
# ... until COUNT relays count.
start_service() { # DIR COUNT
  run_service "$1"
  pids+=($service)
  wait_log "$1/ktr6d.log" "$2" ": counting on" 30
}

# ---------------------------------------------------------------------------
# a) 20 relays at 100 records/s each for a minute.
measure_load() {
  say "a) $relays relays, 100 records/s each, ${load_seconds} s"
  dir=$work/load
  mkdir -p "$dir"
  rates=1:17,2:17,3:17,4:17,5:16,6:16
  : >"$dir/ktr6d.conf"
  for n in $(seq "$relays"); do
    start_sim "$dir" "$n" "$rates"
    printf '[relay R%02d]\nport = %d\ninterval = 10s\nunit = kWh\n\n' "$n" "$n" >>"$dir/ktr6d.conf"
  done
  for n in $(seq "$relays"); do wait_listening "$dir" "$n"; done
  db=$dir/counts.sqlite
  start_service "$dir" "$relays"
  sleep 1
  for n in $(seq "$relays"); do
    read -r rec _ < <(sim_stats "$dir" "$n")
    [ "$rec" -eq 0 ] || fail "ktr6-sim com$n sent records before its stream started"
  done
  ticks0=$(cpu_ticks "$service")
  t0=$(now_ns)
  for n in $(seq "$relays"); do sim_say "$dir" "$n" start; done
  sleep "$load_seconds"
  for n in $(seq "$relays"); do sim_say "$dir" "$n" stop; done
  ticks1=$(cpu_ticks "$service")
  t1=$(now_ns)
  load_rss=$(status_mb "$service" VmRSS)
  load_hwm=$(status_mb "$service" VmHWM)
  sleep 1
  sent_total=0; dropped_total=0; counted_total=0; exact=0
  declare -gA sent_of
  for n in $(seq "$relays"); do
    read -r rec dropped closed quiet < <(sim_stats "$dir" "$n")
    sent_of[$(printf 'R%02d' "$n")]=$rec
    sent_total=$((sent_total + rec))
    dropped_total=$((dropped_total + dropped))
  done
  # Every interval in which the streams ran is closed 10 s after the stop.
  sleep 11
  kill -TERM "$service"
  status=0
  wait "$service" || status=$?
  [ "$status" -eq 0 ] || fail "ktr6d ended with $status: $(tail -n 5 "$dir/ktr6d.log")"
  KTR6_PROGRAM_DIR=$dir "$bin/ktr6ctl" counts --database "$db" --json >"$dir/counts.json" ||
    fail "ktr6ctl counts failed"
  # closed intervals (ktr6ctl counts) and committed records (the counts table)
  declare -gA json_of db_of
  while read -r relay count; do json_of[$relay]=$count; done < <(python3 -c 'if True:
  import json, sys, collections
  totals = collections.Counter()
  for row in json.load(open(sys.argv[1])):
      totals[row["relay"]] += row["count"]
  for relay, count in sorted(totals.items()):
      print(relay, count)' "$dir/counts.json")
  while IFS='|' read -r relay count; do db_of[$relay]=$count; done < <(
    sql "$db" "SELECT relay, SUM(records) FROM counts GROUP BY relay")
  mismatches=()
  for n in $(seq "$relays"); do
    relay=$(printf 'R%02d' "$n")
    counted=${json_of[$relay]:-0}
    counted_total=$((counted_total + counted))
    if [ "$counted" -eq "${sent_of[$relay]}" ] && [ "${db_of[$relay]:-0}" -eq "${sent_of[$relay]}" ]; then
      exact=$((exact + 1))
    else
      mismatches+=("$relay: sent ${sent_of[$relay]}, counts --json $counted, database ${db_of[$relay]:-0}")
    fi
  done
  integrity_a=$(sql "$db" "PRAGMA integrity_check")
  elapsed_s=$(awk "BEGIN {printf \"%.1f\", ($t1 - $t0) / 1e9}")
  cpu_pct=$(awk "BEGIN {printf \"%.2f\", 100 * ($ticks1 - $ticks0) / $(getconf CLK_TCK) / $elapsed_s}")
  rate_total=$(awk "BEGIN {printf \"%.0f\", $sent_total / $elapsed_s}")
  for n in $(seq "$relays"); do kill "${sim_pid[$n]}" 2>/dev/null || true; done
}

# b) kill -9 at random moments under 500 records/s.
measure_kills() {
  say "b) $kills kill -9 at random moments, 500 records/s"
  dir=$work/kill
  kill_dir=$dir
  mkdir -p "$dir"
  start_sim "$dir" 1 1:84,2:84,3:83,4:83,5:83,6:83
  wait_listening "$dir" 1
  printf '[relay T1]\nport = 1\ninterval = 1s\n' >"$dir/ktr6d.conf"
  db=$dir/counts.sqlite
  sim_say "$dir" 1 start
  read -r sent0 dropped0 closed0 quiet0 < <(sim_stats "$dir" 1)
  counted0=0
  integrity_ok=0; twice=0; while_counting=0
  : >"$dir/per-kill"
  for k in $(seq "$kills"); do
    run_service "$dir"
    # a random moment in the first 2.5 s of the service's life: opening the
    # database, reading the set or counting
    sleep "$(awk -v r="$RANDOM" 'BEGIN {printf "%.3f", r / 32768 * 2.5}')"
    kill -9 "$service"
    wait "$service" 2>/dev/null || true
    counting=0
    grep -q ": counting on" "$dir/ktr6d.log" && counting=1
    [ "$(sql "$db" "PRAGMA integrity_check")" = ok ] && integrity_ok=$((integrity_ok + 1))
    read -r sent dropped closed quiet < <(sim_stats "$dir" 1)
    counted=$(sql "$db" "SELECT COALESCE(SUM(records), 0) FROM counts")
    [ "$counted" -le "$sent" ] || twice=$((twice + 1))
    while_counting=$((while_counting + counting))
    # generated = sent + dropped; per kill: the records the relay made in
    # this cycle and did not get counted, split by where they went
    echo "$(( (sent - sent0) + (dropped - dropped0) - (counted - counted0) )) \
  $(( (sent - sent0) - (counted - counted0) )) $((closed - closed0)) $((quiet - quiet0)) \
  $(( (dropped - dropped0) - (closed - closed0) - (quiet - quiet0) )) $counting" >>"$dir/per-kill"
    sent0=$sent; dropped0=$dropped; closed0=$closed; quiet0=$quiet; counted0=$counted
  done
  # the totals stay as at the last kill, so that they add up to the table below
  sim_say "$dir" 1 stop
  # min, median, p90, max and sum of column $1 of the per-kill table, of the
  # kills whose last column is $2 if given
  dist() {
    awk -v c="$1" -v only="${2:-}" 'only == "" || $6 == only {print $c}' "$kill_dir/per-kill" |
      sort -n | awk '
      {v[NR] = $1; s += $1}
      END {
        if (NR == 0) { printf "| | | | "; exit }
        p90 = v[int(0.9 * NR + 0.999999)]; if (p90 == "") p90 = v[NR]
        med = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "%d | %s | %d | %d | %d\n", v[1], med, p90, v[NR], s
      }' | sed ':a;s/\B[0-9]\{3\}\>/,&/;ta'
  }
  commit_worth=$(( 500 * 100 / 1000 ))
}

# ---------------------------------------------------------------------------
# A real broker on a free loopback port, persistence in its own folder.
broker_dir=$work/broker
mkdir -p "$broker_dir"
broker_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'listener %d 127.0.0.1\nallow_anonymous true\npersistence true\npersistence_location %s/\n' \
  "$broker_port" "$broker_dir" >"$broker_dir/mosquitto.conf"
start_broker() {
  mosquitto -c "$broker_dir/mosquitto.conf" >>"$broker_dir/mosquitto.log" 2>&1 &
  broker=$!
  pids+=($broker)
  for _ in $(seq 100); do
    mosquitto_pub -p "$broker_port" -t bench/ping -n -q 1 2>/dev/null && return 0
    sleep 0.05
  done
  fail "mosquitto did not start: $(tail -n 5 "$broker_dir/mosquitto.log")"
}
stop_broker() {
  kill -TERM "$broker"
  wait "$broker" 2>/dev/null || true
}
# A subscriber on a persistent session, started again whenever it ends
# (while the broker is away), appending "UNIX-TIME TOPIC PAYLOAD" lines.
start_subscriber() { # ID TOPIC FILE
  ( while :; do
      mosquitto_sub -p "$broker_port" -c -i "$1" -q 1 -t "$2" -F '%U %t %p' >>"$3" 2>/dev/null || true
      sleep 0.2
    done ) &
  subscriber=$!
  pids+=($subscriber)
}
stop_subscriber() {
  pkill -P "$subscriber" 2>/dev/null || true
  kill "$subscriber" 2>/dev/null || true
  wait "$subscriber" 2>/dev/null || true
  pkill -P "$subscriber" 2>/dev/null || true
}

# c) the broker away for a minute.
measure_outage() {
  say "c) the broker stopped for ${away_seconds} s and started again"
  dir=$work/outage
  mkdir -p "$dir"
  start_sim "$dir" 1 1:5,2:3,4:2
  wait_listening "$dir" 1
  printf '[relay T1]\nport = 1\ninterval = 1s\nunit = kWh\n\n[mqtt]\nhost = 127.0.0.1\nport = %d\nprefix = bench/outage\nclient_id = ktr6d-outage\n' \
    "$broker_port" >"$dir/ktr6d.conf"
  db=$dir/counts.sqlite
  start_subscriber bench-outage 'bench/outage/+/interval' "$dir/intervals"
  sleep 0.5
  start_service "$dir" 1
  sim_say "$dir" 1 start
  sleep "$before_seconds"
  stop_broker
  away_from=$(now_ns)
  sleep "$away_seconds"
  start_broker
  back_at=$(now_ns)
  say "the broker was away from $(date -u -d "@$((away_from / 1000000000))" +%T) to $(date -u -d "@$((back_at / 1000000000))" +%T) UTC"
  # The outbox empties once the service has reconnected and sent it all.
  outbox_max=0
  left=1
  for _ in $(seq 600); do
    left=$(sql "$db" "SELECT COUNT(*) FROM outbox" 2>/dev/null || echo 1)
    [ "$left" -gt "$outbox_max" ] && outbox_max=$left
    [ "$left" -eq 0 ] && break
    sleep 0.1
  done
  drained_ms=$(( ($(now_ns) - back_at) / 1000000 ))
  [ "$left" -eq 0 ] || fail "the outbox still holds $left messages 60 s after the broker came back"
  sleep "$before_seconds"
  # Stopped (SIGTERM) while counting: what the last commit closed goes out
  # before the service disconnects; started again at once.
  stop_outbox_max=0
  for _ in $(seq "$stops"); do
    sleep "$(awk -v r="$RANDOM" 'BEGIN {printf "%.3f", 1 + r / 32768 * 2}')"
    kill -TERM "$service"
    wait "$service" || fail "ktr6d did not stop cleanly: $(tail -n 5 "$dir/ktr6d.log")"
    left=$(sql "$db" "SELECT COUNT(*) FROM outbox")
    [ "$left" -gt "$stop_outbox_max" ] && stop_outbox_max=$left
    start_service "$dir" 1
  done
  sleep 2
  sim_say "$dir" 1 stop
  sleep 2
  kill -TERM "$service"
  wait "$service" || fail "ktr6d did not stop cleanly: $(tail -n 5 "$dir/ktr6d.log")"
  sleep 1
  stop_subscriber
  sql "$db" "SELECT relay || ' ' || channel || ' ' || start FROM intervals ORDER BY relay, channel, start_s" \
    >"$dir/stored"
  read -r stored received unique duplicates missing out_of_order < <(python3 -c 'if True:
  import json, sys
  stored = [line.split() for line in open(sys.argv[1]) if line.strip()]
  keys = set(tuple(s) for s in stored)
  seen, dup, order_bad, last = set(), 0, 0, {}
  received = 0
  for line in open(sys.argv[2]):
      parts = line.split(" ", 2)
      if len(parts) < 3:
          continue
      m = json.loads(parts[2])
      key = (m["relay"], str(m["channel"]), m["start"])
      received += 1
      if key in seen:
          dup += 1
          print("received again:", *key, "at", parts[0], file=sys.stderr)
          continue
      seen.add(key)
      channel = (m["relay"], m["channel"])
      if channel in last and m["start"] <= last[channel]:
          order_bad += 1
      last[channel] = m["start"]
  for key in sorted(keys - seen):
      print("never received:", *key, file=sys.stderr)
  print(len(keys), received, len(seen), dup, len(keys - seen), order_bad)' "$dir/stored" "$dir/intervals")
  outbox_left=$(sql "$db" "SELECT COUNT(*) FROM outbox")
  sql "$db" "SELECT relay, channel, start FROM outbox" | sed 's/^/  in the outbox: /' >&2
  during_outage=$(sql "$db" "SELECT COUNT(*) FROM intervals WHERE end_s > $((away_from / 1000000000)) AND end_s <= $((back_at / 1000000000))")
  kill "${sim_pid[1]}" 2>/dev/null || true
}

# d) from a record on the line to the first published total that holds it.
measure_latency() {
  say "d) one record a second on an idle relay, ${latency_records} records"
  dir=$work/latency
  mkdir -p "$dir"
  mkfifo "$dir/sim1.in"
  TZ=UTC "$bin/ktr6-sim" --dir "$dir" --name com1 --paused --rate 1:1 --trace --trace-clock wall \
    <"$dir/sim1.in" >"$dir/sim1.log" 2>"$dir/sim1.trace" &
  sim_pid[1]=$!
  pids+=($!)
  exec {fd}>"$dir/sim1.in"
  sim_fd[1]=$fd
  for _ in $(seq 100); do grep -q "listening on" "$dir/sim1.log" "$dir/sim1.trace" && break; sleep 0.05; done
  printf '[relay T1]\nport = 1\ninterval = 15m\n\n[mqtt]\nhost = 127.0.0.1\nport = %d\nprefix = bench/latency\nclient_id = ktr6d-latency\n' \
    "$broker_port" >"$dir/ktr6d.conf"
  start_subscriber bench-latency 'bench/latency/T1/1/total' "$dir/totals"
  sleep 0.5
  start_service "$dir" 1
  sleep 2
  sim_say "$dir" 1 start
  sleep "$latency_records"
  sleep 0.5
  sim_say "$dir" 1 stop
  sleep 2
  kill -TERM "$service"
  wait "$service" || fail "ktr6d did not stop cleanly: $(tail -n 5 "$dir/ktr6d.log")"
  stop_subscriber
  # Record k on the line (a "1\r" sent, in the trace, UTC) against the first
  # total >= k at the subscriber; the relay holds 1/1 on IN 1.
  read -r latency_n latency_sent latency_median latency_p99 latency_max < <(python3 -c 'if True:
  import sys, re
  sent = []
  for line in open(sys.argv[1]):
      m = re.match(r"(\d\d):(\d\d):(\d\d\.\d\d\d) tx +\d+ \| 31 0D \|", line)
      if m:
          sent.append(int(m[1]) * 3600 + int(m[2]) * 60 + float(m[3]))
  totals = []
  for line in open(sys.argv[2]):
      t, _, value = line.split(" ", 2)
      totals.append((float(t) % 86400, float(value)))
  lat = []
  for k, at in enumerate(sent, 1):
      arrived = next((t for t, v in totals if v >= k), None)
      if arrived is not None:
          lat.append(((arrived - at) % 86400) * 1000)
  lat.sort()
  n = len(lat)
  pick = lambda q: lat[min(n - 1, int(q * n + 0.999999) - 1)]
  median = (lat[(n - 1) // 2] + lat[n // 2]) / 2
  print(n, len(sent), "%.0f" % median, "%.0f" % pick(0.99), "%.0f" % lat[-1])' "$dir/sim1.trace" "$dir/totals")
}

# ---------------------------------------------------------------------------
report_load() {
  echo "### Load: $relays relays, 100 records/s each"
  echo
  echo "Each relay streams its six inputs at their fastest (\`--rate $rates\`, 100 records/s),"
  echo "all started together once the service counts on every port, for ${load_seconds} s;"
  echo "intervals of 10 s. Afterwards the streams stop, the last intervals close, the service"
  echo "stops (SIGTERM), and each relay's records in the closed intervals (\`ktr6ctl counts"
  echo "--json\`) and in the database's counts are compared with what its simulator wrote."
  echo
  echo "| Figure | Result | Goal |"
  echo "|---|---:|---:|"
  echo "| records written by the $relays simulators in ${elapsed_s} s | $(group "$sent_total") ($(group "$rate_total")/s) | 120,000 in 60 s |"
  echo "| records dropped by the simulators (no process on the port, a request, a full line) | $dropped_total | 0 |"
  echo "| records counted (\`ktr6ctl counts --json\`) | $(group "$counted_total") | all written |"
  echo "| relays counted exactly (counts --json and the database equal to what the simulator wrote) | $exact of $relays | all |"
  echo "| \`PRAGMA integrity_check\` afterwards | $integrity_a | ok |"
  echo "| CPU of \`ktr6d\` while the records flowed | **$cpu_pct %** of one core | at most 5 % |"
  echo "| memory of \`ktr6d\`: VmRSS at the end of the load, VmHWM (peak) | $load_rss MB, **$load_hwm MB** | at most 60 MB |"
  echo
  for m in "${mismatches[@]}"; do echo "- not exact: $m"; done
  [ "${#mismatches[@]}" -eq 0 ] || echo
}

report_kills() {
  echo "### $kills kills at random moments"
  echo
  echo "One relay streaming 500 records/s on its six inputs (\`--rate 1:84,2:84,3:83,4:83,5:83,6:83\`),"
  echo "intervals of 1 s. The service is started, killed with \`kill -9\` at a random moment in"
  echo "its first 2.5 s (opening the database, reading the relay's set, or counting: $while_counting of"
  echo "the $kills kills fell while it counted), and started again, $kills times. After each kill,"
  echo "with no service running, the database is checked and the simulator's counters are read."
  echo
  echo "| Figure | Result |"
  echo "|---|---:|"
  echo "| \`PRAGMA integrity_check\` = ok after a kill | $integrity_ok of $kills |"
  echo "| kills after which more was counted than the relay had written (a record counted twice) | $twice |"
  echo "| records the relay made up to the last kill: written to the line / dropped | $(group "$sent") / $(group "$dropped") |"
  echo "| records counted up to the last kill | $(group "$counted") |"
  echo
  echo "What each kill cost, per kill (from one kill to the next: the records the relay made that"
  echo "were never counted), and where they went:"
  echo
  echo "| Records lost per kill | Min | Median | p90 | Max | All kills |"
  echo "|---|---:|---:|---:|---:|---:|"
  echo "| written to the line, not counted (read but not committed; on the line when the service died; discarded by the restart's parameter read) | $(dist 2) |"
  echo "| of them, kills while it counted ($while_counting) | $(dist 2 1) |"
  echo "| of them, kills while it started ($((kills - while_counting))) | $(dist 2 0) |"
  echo "| made while no process held the port (\`closed\`) | $(dist 3) |"
  echo "| made while the relay kept quiet around the restart's parameter request (\`quiet\`) | $(dist 4) |"
  echo "| dropped otherwise (a full line) | $(dist 5) |"
  echo "| **all lost** | $(dist 1) |"
  echo
  echo "At 500 records/s one commit interval (100 ms) holds $commit_worth records. What was written to the"
  echo "line and not counted also holds what lay in the pseudo-terminal when the service died"
  echo "and what the next start's parameter read discards: it opens the port, waits 200 ms with"
  echo "RTS up and discards its input before its request (about 100 records at this rate); a"
  echo "kill while the service starts (before it counts) has nothing read and not committed."
  echo
}

report_outage() {
  echo "### The broker away for ${away_seconds} s"
  echo
  echo "A real \`mosquitto\` on a loopback port with \`persistence true\` in a temporary folder;"
  echo "one relay streaming 10 records/s on three inputs, intervals of 1 s, so every channel's"
  echo "interval closes each second. A subscriber on a persistent session (\`mosquitto_sub -c -i"
  echo "bench-outage -q 1 -t 'bench/outage/+/interval'\`, started again whenever it ends) from the"
  echo "start. After ${before_seconds} s the broker is stopped (SIGTERM) for ${away_seconds} s and started again; ${before_seconds} s"
  echo "later the service is stopped (SIGTERM) and started again $stops times, 1 to 3 s apart, while"
  echo "it counts; then the stream stops, the service stops and what arrived is compared with"
  echo "the intervals in the database (by the key relay, channel, start)."
  echo
  echo "| Figure | Result |"
  echo "|---|---:|"
  echo "| closed intervals in the database | $(group "$stored") |"
  echo "| of them closed while the broker was away | $(group "$during_outage") |"
  echo "| most messages waiting in the outbox after the broker came back | $(group "$outbox_max") |"
  echo "| from the broker's return to an empty outbox | $(group "$drained_ms") ms |"
  echo "| messages received / different intervals among them | $(group "$received") / $(group "$unique") |"
  echo "| most messages left in the outbox by one of the $stops stops while counting | $stop_outbox_max |"
  echo "| intervals never received | **$missing** |"
  echo "| of those, still in the outbox when the service stopped (they go out at its next start) | $outbox_left |"
  echo "| intervals received before an earlier one of their channel (out of order) | **$out_of_order** |"
  echo "| duplicates received (dropped by their key) | **$duplicates** |"
  echo
}

report_latency() {
  echo "### From a record to the published total"
  echo
  echo "One relay, idle but for one record a second on IN 1 (\`--rate 1:1\`, coefficient 1/1, so"
  echo "the k-th record makes the total k), $latency_sent records; a subscriber on"
  echo "\`bench/latency/T1/1/total\` (retained, published at most once a second). From the moment"
  echo "the simulator wrote the record to the line (its trace, \`--trace-clock wall\`) to the"
  echo "subscriber's receipt (\`mosquitto_sub -F %U\`) of the first total that includes it."
  echo
  echo "| Records | Received | Median (ms) | 99th percentile (ms) | Max (ms) |"
  echo "|---:|---:|---:|---:|---:|"
  echo "| $latency_sent | $latency_n | **$latency_median** | **$latency_p99** | $latency_max |"
  echo
  echo "The records come exactly a second apart, as often as a total may be published. The"
  echo "same way measured by \`bench/service-latency.sh\`, whose records are handed to the"
  echo "simulator (\`rec 1\`) by a shell loop a little more than a second apart, from the hand-over"
  echo "to the subscriber's line read by the shell:"
  echo
  cat "$work/latency-handed.md"
  echo
}

want() { [[ $parts == *$1* ]]; }
if want a; then measure_load; fi
if want b; then measure_kills; fi
if want c || want d; then
  start_broker
  if want c; then measure_outage; fi
  if want d; then measure_latency; fi
  stop_broker
fi
# The same way measured with records a shell hands over about a second apart.
if want d; then
  "$(dirname "$0")/service-latency.sh" "$bin" "$latency_handed" >"$work/latency-handed.md" ||
    fail "bench/service-latency.sh failed"
fi

build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$bin/../CMakeCache.txt" 2>/dev/null || true)
echo "## 8. The counting service"
echo
echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC'), ${build_type:-unknown} build, $(nproc) CPUs."
echo
echo "The real \`ktr6d\` (one thread per relay, a commit every 100 ms, SQLite in WAL mode)"
echo "against simulated relays (\`ktr6-sim\`, each linked as \`comN\` in a program directory"
echo "named by \`KTR6_PROGRAM_DIR\`), the database a real file. The simulators run on the same"
echo "two cores; the service's CPU is its own \`utime\`+\`stime\` from \`/proc/PID/stat\`, its"
echo "memory \`VmHWM\` from \`/proc/PID/status\`. A simulator's \`stats\` gives what it wrote to"
echo "the line (\`records\`) and what it did not (\`dropped\`: of them \`closed\`, while no process"
echo "held the port, and \`quiet\`, while it kept quiet around a parameter request)."
echo
if want a; then report_load; fi
if want b; then report_kills; fi
if want c; then report_outage; fi
if want d; then report_latency; fi
