#!/usr/bin/env bash
# The long fault run, outside make test (about 4 minutes). Each phase starts
# korimo afresh in the run's temporary work folder (its root/ holds
# index.html and an 8 MiB slow.bin), drives it with stress/korimo_stress and
# stops it with SIGTERM, which must end it with status 0 and no error
# reports:
#
#   limits  2000 silent connections held while 100 ordinary requests are
#           answered; the 60 s limits for silent and trickling clients.
#   slow    slowhttptest's slow headers (-H), slow body (-B) and slow read
#           (-X) attacks, 3000 connections each for 40 s, while a probe asks
#           for the chat view (half-closed) over and over: each answer within
#           300 ms. korimo answers a slow header at its 200 ms pause, which
#           ends that attack early: it is started again until its 40 s are up.
#   crowd   10 000 silent connections against the worker cap (korimo's
#           default, 4096) while ordinary requests go on: never more worker
#           threads than the cap, every request answered.
#
# Every phase reports the server's peak threads and resident memory
# (VmHWM); a summary table comes last.
#
#   scripts/stress.sh [BUILD_DIR]      (default: $BUILD_DIR or build)
# Environment (defaults in brackets):
#   STRESS_PHASES          phases to run ["limits slow crowd"]
#   STRESS_IDLE            limits: silent connections [2000]
#   STRESS_REQUESTS        limits: ordinary requests [100]
#   STRESS_SLOW_MODES      slow: attacks, of H B X ["H B X"]
#   STRESS_SLOW_CONNS      slow: connections per attack [3000]
#   STRESS_SLOW_RATE       slow: connections opened per second [1000]
#   STRESS_SLOW_SECONDS    slow: length of each attack [40]
#   STRESS_PROBE_LIMIT_MS  slow: the probe's limit [300]
#   STRESS_CROWD           crowd: silent connections [10000]
#   STRESS_CROWD_SECONDS   crowd: how long they are held at least [20]
#   STRESS_CAP             crowd: the worker cap checked [4096]; any other
#                          value is given to korimo as --max-workers
#   KORIMO_BIN             another korimo binary [BUILD_DIR/korimo]
set -euo pipefail
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:-${BUILD_DIR:-build}}
[[ $BUILD = /* ]] || BUILD="$REPO/$BUILD"
PHASES=${STRESS_PHASES:-limits slow crowd}
IDLE=${STRESS_IDLE:-2000}
REQUESTS=${STRESS_REQUESTS:-100}
SLOW_MODES=${STRESS_SLOW_MODES:-H B X}
SLOW_CONNS=${STRESS_SLOW_CONNS:-3000}
SLOW_RATE=${STRESS_SLOW_RATE:-1000}
SLOW_SECONDS=${STRESS_SLOW_SECONDS:-40}
PROBE_LIMIT_MS=${STRESS_PROBE_LIMIT_MS:-300}
CROWD=${STRESS_CROWD:-10000}
CROWD_SECONDS=${STRESS_CROWD_SECONDS:-20}
DEFAULT_CAP=4096
CAP=${STRESS_CAP:-$DEFAULT_CAP}
START=$SECONDS

log() { printf 'stress: %s\n' "$*" >&2; }
wants() { [[ " $PHASES " == *" $1 "* ]]; }

if wants slow; then
  "$REPO/scripts/install-deps.sh" stress
  command -v slowhttptest >/dev/null || { log "slowhttptest is missing (Debian package slowhttptest)"; exit 1; }
fi

[[ -f $BUILD/build.ninja || -f $BUILD/Makefile ]] || cmake -S "$REPO" -B "$BUILD" -G Ninja >/dev/null
KORIMO=${KORIMO_BIN:-$BUILD/korimo}
[[ -n ${KORIMO_BIN:-} ]] || cmake --build "$BUILD" --target korimo -j2 >/dev/null
if cmake --build "$BUILD" --target korimo_stress -j2 >/dev/null 2>&1; then
  STRESS="$BUILD/stress/korimo_stress"
else
  # The build does not include stress/ (add_subdirectory(stress) in the
  # top-level CMakeLists.txt): compile the one source directly.
  STRESS="$BUILD/korimo_stress"
  log "building $STRESS directly"
  "${CXX:-c++}" -std=c++20 -O2 -pthread -I"$REPO/tests" -I"$REPO/src" \
    -DKORIMO_BINARY="\"$KORIMO\"" "$REPO/stress/korimo_stress.cpp" -o "$STRESS"
fi
[[ -x $KORIMO ]] || { log "no korimo binary at $KORIMO"; exit 1; }

# Descriptors: the client side of every connection is in this run's
# processes (korimo_stress, slowhttptest), the server side in korimo, each
# within its own limit. korimo takes the hard limit for itself at start-up;
# the soft one set here covers the clients (and a korimo that does not).
max=$IDLE
wants slow && ((SLOW_CONNS > max)) && max=$SLOW_CONNS
wants crowd && ((CROWD > max)) && max=$CROWD
need=$((max + REQUESTS + 1024))
hard=$(ulimit -Hn)
if [[ $hard != unlimited ]] && ((hard < need)); then
  ulimit -Hn "$need" 2>/dev/null || {
    log "the hard descriptor limit ($hard) is below the $need needed and cannot be raised; lower the counts"
    exit 1
  }
fi
ulimit -Sn "$need"
log "descriptors: soft $(ulimit -Sn), hard $(ulimit -Hn) a process; fs.file-max $(cat /proc/sys/fs/file-max)," \
  "somaxconn $(cat /proc/sys/net/core/somaxconn), threads-max $(cat /proc/sys/kernel/threads-max)"

work=$(mktemp -d /tmp/korimo-stress.XXXXXX)
pid=
# shellcheck disable=SC2317  # run by the trap
cleanup() {
  if [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir "$work/root"
printf '<html><body>stress</body></html>\r\n' >"$work/root/index.html"
# The slow read needs an answer far larger than what the kernel buffers on
# both sides of a connection with a small window: 8 MiB (sparse).
truncate -s 8M "$work/root/slow.bin"
: >"$work/report.txt"

have_cap_option=
"$KORIMO" --help 2>/dev/null | grep -q -- '--max-workers' && have_cap_option=1

rc=0
# start_korimo NAME [OPTION...]: korimo in $work on a free port; sets pid, port.
start_korimo() {
  local name=$1
  shift
  # A port that was free a moment ago; retried when someone takes it first.
  for _ in 1 2 3 4 5; do
    port=$("$STRESS" --free-port)
    (cd "$work" && exec "$KORIMO" --console --port "$port" "$@" </dev/null >"$work/$name.out" 2>"$work/$name.err") &
    pid=$!
    for _ in $(seq 50); do
      if ! kill -0 "$pid" 2>/dev/null || (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then break; fi
      sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && break
    wait "$pid" || true
    pid=
    grep -q 'Address already in use' "$work/$name.err" || { cat "$work/$name.err" >&2; exit 1; }
  done
  [[ -n $pid ]] || { log "korimo did not start"; exit 1; }
  echo "  korimo $*${*:+ }on port $port: descriptor limit $(awk '/^Max open files/ {print $4 " soft, " $5 " hard"}' "/proc/$pid/limits")"
}

# stop_korimo NAME: SIGTERM ends korimo as the Exit button does, status 0.
stop_korimo() {
  local name=$1 status=0
  kill -TERM "$pid" 2>/dev/null || true
  wait "$pid" || status=$?
  pid=
  echo "  korimo after SIGTERM: exit status $status"
  if ((status != 0)); then rc=1; echo "PHASE name=$name-exit result=FAIL" >>"$work/report.txt"; fi
  if grep -q '^korimo:' "$work/$name.err"; then
    echo "  korimo reported errors:"
    sed 's/^/    /' "$work/$name.err" | head -20
    rc=1
  fi
}

# run_stress LIMIT_SECONDS ARGS...: korimo_stress, bounded, its report kept.
run_stress() {
  local limit=$1
  shift
  local status=0
  timeout --kill-after=10 "$limit" "$STRESS" --port "$port" --pid "$pid" "$@" | tee -a "$work/report.txt" || status=$?
  ((status == 0)) || rc=1
  echo
}

if wants limits; then
  echo "== limits: $IDLE silent connections, $REQUESTS requests, the 60 s limits"
  start_korimo limits
  run_stress 300 --idle "$IDLE" --requests "$REQUESTS"
  stop_korimo limits
fi

if wants slow; then
  slowhttptest=$(command -v slowhttptest)
  for mode in $SLOW_MODES; do
    case $mode in
      H) what="slow headers"; args=(-H -i 10 -u "http://127.0.0.1:PORT/index.html") ;;
      # A piece of body every second keeps each POST inside korimo's 2 s pause.
      B) what="slow body"; args=(-B -i 1 -s 1048576 -u "http://127.0.0.1:PORT/index.html") ;;
      X) what="slow read"; args=(-X -w 512 -y 1024 -n 5 -z 32 -u "http://127.0.0.1:PORT/slow.bin") ;;
      *) log "unknown slow attack '$mode' (H, B or X)"; exit 1 ;;
    esac
    echo "== slow-$mode: $what, $SLOW_CONNS connections at $SLOW_RATE/s for $SLOW_SECONDS s; probe limit $PROBE_LIMIT_MS ms"
    start_korimo "slow-$mode"
    args=("${args[@]/PORT/$port}")
    run_stress $((SLOW_SECONDS + 120)) --probe --label "slow-$mode" --limit-ms "$PROBE_LIMIT_MS" \
      --min-seconds "$SLOW_SECONDS" --max-seconds $((SLOW_SECONDS + 30)) --child-log "$work/slow-$mode.log" -- \
      "$slowhttptest" "${args[@]}" -c "$SLOW_CONNS" -r "$SLOW_RATE" -l "$SLOW_SECONDS" -p 3 -g -o "$work/slow-$mode-{run}"
    stop_korimo "slow-$mode"
    # slowhttptest's own account: a CSV line a second for each run
    # (Seconds,Closed,Pending,Connected,Service Available; korimo answers a
    # slow header at its 200 ms pause, so that attack runs again and again).
    ends=$(sed 's/\x1b\[[0-9;]*[a-zA-Z]//g' "$work/slow-$mode.log" | sed -n 's/^Exit status: *//p' | sort | uniq -c |
      awk '{n = $1; $1 = ""; printf "%s%s x%s", sep, substr($0, 2), n; sep = "; "}')
    awk -F, -v m="$mode" -v what="$what" -v ends="${ends:-?}" '
      FNR == 1 { runs++; total += closed; closed = 0; next }
      {
        if ($4 + 0 > peak) peak = $4 + 0
        closed = $2 + 0; secs++
        if ($5 + 0 == 0) down++
      }
      END {
        total += closed
        printf "ATTACK slow-%s (%s): %d run(s), %d s of statistics; at most %d connected at once, %d closed by korimo; " \
          "slowhttptest found the service unavailable %d s; ended: %s\n", m, what, runs, secs, peak, total, down, ends
      }' /dev/null "$work"/slow-"$mode"-*.csv | tee -a "$work/report.txt"
    echo
  done
fi

if wants crowd; then
  echo "== crowd: $CROWD silent connections against a cap of $CAP workers"
  cap_args=()
  if ((CAP != DEFAULT_CAP)); then
    if [[ -n $have_cap_option ]]; then
      cap_args=(--max-workers "$CAP")
    else
      log "this korimo has no --max-workers: the crowd meets its default"
    fi
  fi
  start_korimo crowd "${cap_args[@]}"
  run_stress $((CROWD_SECONDS + 180)) --crowd "$CROWD" --cap "$CAP" --hold-seconds "$CROWD_SECONDS"
  stop_korimo crowd
fi

# The summary: one row a phase, from the PHASE lines; the attacks' own
# account under it.
echo "== summary ($(((SECONDS - START) / 60)) min $(((SECONDS - START) % 60)) s)"
awk '
  function v(k) { return (k in kv) ? kv[k] : "-" }
  /^PHASE / {
    delete kv
    for (i = 2; i <= NF; i++) { n = index($i, "="); kv[substr($i, 1, n - 1)] = substr($i, n + 1) }
    if (!header++) printf "  %-12s %-6s %8s %6s %8s %9s %9s | %9s %6s %7s %7s\n", "phase", "result",
      "threads", "tasks", "workers", "RSS MiB", "VmHWM MiB", "requests", "failed", "p99 ms", "max ms"
    req = v("requests"); if (req == "-") req = v("probes")
    bad = v("request_failed"); if (bad == "-") bad = v("probe_failed")
    p99 = v("p99_ms"); if (p99 == "-") p99 = v("probe_p99_ms")
    mx = v("max_ms"); if (mx == "-") mx = v("probe_max_ms")
    printf "  %-12s %-6s %8s %6s %8s %9s %9s | %9s %6s %7s %7s\n", v("name"), v("result"), v("threads_peak"),
      v("tasks_peak"), v("workers_peak"), v("rss_peak_kib") == "-" ? "-" : sprintf("%.1f", v("rss_peak_kib") / 1024),
      v("hwm_kib") == "-" ? "-" : sprintf("%.1f", v("hwm_kib") / 1024), req, bad, p99, mx
    if (v("name") == "crowd")
      crowd = sprintf("  crowd: %s connections, cap %s: %s connected, %s cut by the server, at most %s held by it at once",
        v("crowd"), v("cap"), v("connected"), v("cut"), v("server_held_peak"))
  }
  /^ATTACK / { attacks = attacks "  " substr($0, 8) "\n" }
  END {
    if (crowd != "") print crowd
    printf "%s", attacks
    print "  threads: peak of /proc/PID/status Threads; tasks: of /proc/PID/task; workers: tasks named korimo-worker;"
    print "  RSS: peak VmRSS sampled every 50 ms; VmHWM: the kernel'"'"'s peak for the phase. Requests: the probes"
    print "  (slow phases) or the ordinary requests; failed: wrong, lost or over the limit."
  }' "$work/report.txt"
grep -q '^RESULT: FAIL\|result=FAIL' "$work/report.txt" && rc=1
phases_run=$(grep -c '^PHASE ' "$work/report.txt" || true)
[[ $phases_run -gt 0 ]] || rc=1
echo "stress: $([[ $rc == 0 ]] && echo PASS || echo FAIL)"
exit $rc
