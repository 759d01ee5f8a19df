#!/usr/bin/env bash
# Benchmarks korimo against nginx on loopback with bench/loadgen (and ApacheBench
# for the browser-style rows) and prints one table of medians with korimo / nginx
# ratios. See bench/README.md.
#
# Environment:
#   BUILD_DIR              build directory (default: <repo>/build; configured if missing)
#   BENCH_QUICK=1          2 s cases, 5 s populations, one round
#   BENCH_ROUNDS           rounds per case (default 3, quick 1)
#   BENCH_CASE_SECONDS     closed-loop case length (default 4, quick 2)
#   BENCH_POP_SECONDS      population case length (default 20, quick 5)
#   BENCH_BUDGET_SECONDS   wall-clock budget from the end of the build; runs that might
#                          overrun it are skipped and reported as missing (default 870)
#   BENCH_ONLY             space-separated case groups to run: halfclose open ab population idle file
#   BENCH_AB_SECONDS       about how long each ab run lasts (default 3, quick 2)
#   BENCH_AB_NGINX_N       requests of each ab run against nginx (default 10000 a second of BENCH_AB_SECONDS)
#   KORIMO_BIN             korimo binary (default: $BUILD_DIR/korimo)
#   BENCH_KORIMO_STANDIN=nginx  a second nginx plays korimo's column (checks the script
#                               itself while korimo is not runnable)
#   BENCH_KEEP=1           keep the temporary directory (data, logs) after the run
#   BENCH_OUT=FILE         copy of the raw results (scripts/bench-chart.sh redraws from it)
#   BENCH_CHART=FILE       where the chart goes (.svg or .png); default docs/bench.svg for
#                          a full run of every group with korimo itself, else a file in /tmp
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$REPO/build}
case $BUILD_DIR in /*) ;; *) BUILD_DIR=$PWD/$BUILD_DIR ;; esac
QUICK=${BENCH_QUICK:-0}
if [[ $QUICK == 1 ]]; then
  ROUNDS=${BENCH_ROUNDS:-1}; CASE_S=${BENCH_CASE_SECONDS:-2}; POP_S=${BENCH_POP_SECONDS:-5}
else
  ROUNDS=${BENCH_ROUNDS:-3}; CASE_S=${BENCH_CASE_SECONDS:-4}; POP_S=${BENCH_POP_SECONDS:-20}
fi
BUDGET=${BENCH_BUDGET_SECONDS:-870}
# A run's worst case is its load generator's bound (load, set-up and drain
# limits) plus this for starting it and reading the counters around it, plus
# its settle limit.
RUN_OVERHEAD=1
ALL_GROUPS="halfclose open ab population idle file"
ONLY=${BENCH_ONLY:-$ALL_GROUPS}
if [[ $QUICK == 1 ]]; then AB_S=${BENCH_AB_SECONDS:-2}; else AB_S=${BENCH_AB_SECONDS:-3}; fi
AB_NGINX_N=${BENCH_AB_NGINX_N:-$((AB_S * 10000))}
STANDIN=${BENCH_KORIMO_STANDIN:-}
KORIMO_BIN=${KORIMO_BIN:-}

log() { printf 'bench: %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }
wants() { [[ " $ONLY " == *" $1 "* ]]; }

# ------------------------------------------------------------------ tools
as_root() { if [[ $(id -u) == 0 ]]; then "$@"; elif command -v sudo >/dev/null; then sudo "$@"; else return 1; fi; }

apt_install() {
  # Debian's postinst would start the system nginx service: forbid service starts meanwhile.
  local guard=""
  if [[ ! -e /usr/sbin/policy-rc.d ]]; then
    as_root sh -c 'printf "#!/bin/sh\nexit 101\n" > /usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d' && guard=1
  fi
  local rc=0
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null 2>&1 || {
    as_root apt-get update -qq >/dev/null 2>&1 || true
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null 2>&1 || rc=1
  }
  [[ -n $guard ]] && as_root rm -f /usr/sbin/policy-rc.d
  return $rc
}

ensure_tools() {
  if ! command -v nginx >/dev/null && [[ ! -x /usr/sbin/nginx ]]; then
    log "installing nginx"
    apt_install nginx-light || apt_install nginx || die "cannot install nginx"
  fi
  if wants ab && ! command -v ab >/dev/null; then
    log "installing apache2-utils (ab)"
    apt_install apache2-utils || die "cannot install ab (Debian package apache2-utils)"
  fi
  if ! command -v nstat >/dev/null; then
    log "installing iproute2 (nstat)"
    apt_install iproute2 || log "nstat unavailable: no listen-queue counters"
  fi
  local missing=()
  command -v cmake >/dev/null || missing+=(cmake)
  command -v ninja >/dev/null || missing+=(ninja-build)
  command -v c++ >/dev/null || missing+=(g++)
  if ((${#missing[@]})); then
    log "installing ${missing[*]}"
    apt_install "${missing[@]}" || die "cannot install ${missing[*]}"
  fi
  if ! command -v gnuplot >/dev/null; then
    log "installing gnuplot-nox (the chart)"
    apt_install gnuplot-nox || log "gnuplot unavailable: no chart"
  fi
  NGINX=$(command -v nginx || echo /usr/sbin/nginx)
}

build() {
  if [[ ! -f $BUILD_DIR/build.ninja && ! -f $BUILD_DIR/Makefile ]]; then
    log "configuring $BUILD_DIR"
    cmake -S "$REPO" -B "$BUILD_DIR" -G Ninja -DKORIMO_WITH_QT=OFF >/dev/null
  fi
  local targets=(loadgen)
  [[ -z $STANDIN && -z $KORIMO_BIN ]] && targets+=(korimo)
  log "building ${targets[*]}"
  local blog
  blog=$(mktemp /tmp/korimo-bench-build.XXXXXX)
  if ! cmake --build "$BUILD_DIR" --target "${targets[@]}" -j2 >"$blog" 2>&1; then
    tail -n 30 "$blog" >&2
    rm -f "$blog"
    die "build failed (BENCH_KORIMO_STANDIN=nginx benchmarks without korimo)"
  fi
  rm -f "$blog"
  LOADGEN=$BUILD_DIR/bench/loadgen
  [[ -x $LOADGEN ]] || die "no $LOADGEN"
  KORIMO_BIN=${KORIMO_BIN:-$BUILD_DIR/korimo}
}

# ------------------------------------------------------------------ process figures
server_pids() { echo "$1"; pgrep -P "$1" 2>/dev/null || true; }

cpu_ticks() {  # utime+stime of a server (and its worker processes), clock ticks
  local total=0 p s
  for p in $(server_pids "$1"); do
    [[ -r /proc/$p/stat ]] || continue
    s=$(<"/proc/$p/stat") || continue
    s=${s##*) }
    read -r -a f <<<"$s"
    total=$((total + f[11] + f[12]))
  done
  echo $total
}

status_field() {  # status_field PID FIELD -> value (kB or count), 0 when gone
  local k v rest
  if [[ -r /proc/$1/status ]]; then
    while read -r k v rest; do
      [[ $k == "$2:" ]] && { echo "$v"; return; }
    done 2>/dev/null <"/proc/$1/status" || true
  fi
  echo 0
}

sum_field() {  # over the server's processes
  local total=0 p
  for p in $(server_pids "$1"); do total=$((total + $(status_field "$p" "$2"))); done
  echo $total
}

sampler() {  # sampler PID FILE: peak resident kB and thread count, every 0.2 s
  local max_rss=0 max_thr=0 r t
  while kill -0 "$1" 2>/dev/null; do
    r=$(sum_field "$1" VmRSS); t=$(sum_field "$1" Threads)
    ((r > max_rss)) && max_rss=$r
    ((t > max_thr)) && max_thr=$t
    echo "$max_rss $max_thr" >"$2.tmp" && mv -f "$2.tmp" "$2"
    sleep 0.2
  done
}

listen_counters() {  # "overflows drops", system-wide
  if command -v nstat >/dev/null; then
    nstat -asz TcpExtListenOverflows TcpExtListenDrops 2>/dev/null |
      awk '$1=="TcpExtListenOverflows"{o=$2} $1=="TcpExtListenDrops"{d=$2} END{print o+0, d+0}'
  else
    echo "0 0"
  fi
}

# ------------------------------------------------------------------ servers
KPID="" NPID="" KFD_OPEN=""
cleanup() {
  local rc=$?
  set +e
  for p in ${SAMPLER_PID:-}; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  if [[ -n $KPID ]] && kill -0 "$KPID" 2>/dev/null; then
    if [[ -z $STANDIN && -n $KFD_OPEN ]]; then echo "/quit" >&7; fi
    for _ in $(seq 30); do kill -0 "$KPID" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$KPID" 2>/dev/null && { kill -TERM "$KPID"; sleep 0.5; }
    kill -0 "$KPID" 2>/dev/null && kill -KILL "$KPID"
    wait "$KPID" 2>/dev/null
  fi
  [[ -n $KFD_OPEN ]] && exec 7>&-
  if [[ -n $NPID ]] && kill -0 "$NPID" 2>/dev/null; then
    kill -QUIT "$NPID"
    for _ in $(seq 30); do kill -0 "$NPID" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$NPID" 2>/dev/null && kill -KILL "$NPID"
    wait "$NPID" 2>/dev/null
  fi
  if [[ -n ${WORK:-} && -d $WORK ]]; then
    if [[ ${BENCH_KEEP:-0} == 1 ]]; then log "kept $WORK"; else rm -rf "$WORK"; fi
  fi
  exit $rc
}
trap cleanup EXIT
trap 'exit 130' INT TERM

make_files() {
  mkdir -p "$WORK/root/scripts"
  chmod 755 "$WORK" "$WORK/root" "$WORK/root/scripts"
  local page='<html><head><title>bench</title></head><body>'$'\n' i
  for i in $(seq -w 1 40); do page+="<p>line $i of the benchmark page</p>"$'\n'; done
  printf '%s</body></html>\n' "${page:0:1285}" >"$WORK/root/page.html"
  head -c $((100 * 1048576)) /dev/urandom >"$WORK/root/big.bin"
  # Only the stand-in reads this: korimo generates status.cgi itself.
  cp "$WORK/root/page.html" "$WORK/root/scripts/status.cgi"
  chmod 644 "$WORK/root/page.html" "$WORK/root/big.bin" "$WORK/root/scripts/status.cgi"
  [[ $(stat -c %s "$WORK/root/page.html") == 1300 ]] || die "page is not 1300 bytes"
}

# start_nginx NAME PORT -> pid in NGINX_PID
start_nginx() {
  local dir=$WORK/$1
  mkdir -p "$dir/tmp"
  cat >"$dir/nginx.conf" <<EOF
worker_processes 2;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
worker_rlimit_nofile 20000;
events { worker_connections 16384; }
http {
  access_log off;
  sendfile on;
  default_type application/octet-stream;
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  server {
    listen 127.0.0.1:$2;
    root $WORK/root;
  }
}
EOF
  "$NGINX" -t -q -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" -g 'daemon off;' ||
    die "nginx rejects its configuration (see $dir/error.log)"
  "$NGINX" -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" -g 'daemon off;' \
    </dev/null >"$dir/stdout.log" 2>&1 &
  NGINX_PID=$!
}

# probe PORT PATH -> body size, once a full answer comes (10 s at most)
probe() {
  local line
  for _ in $(seq 50); do
    line=$("$LOADGEN" --port "$1" --path "$2" --requests 1 --duration 2 --timeout 1 --drain 1 --quiet 2>/dev/null || true)
    if [[ $line == *" ok=1 "* ]]; then
      line=${line##* body_max=}; echo "${line%% *}"; return 0
    fi
    sleep 0.2
  done
  return 1
}

start_servers() {
  KPORT=$("$LOADGEN" --free-port)
  NPORT=$("$LOADGEN" --free-port)
  while [[ $NPORT == "$KPORT" ]]; do NPORT=$("$LOADGEN" --free-port); done

  start_nginx nginx "$NPORT"; NPID=$NGINX_PID
  probe "$NPORT" /page.html >/dev/null || die "nginx does not answer (see $WORK/nginx/error.log)"

  mkfifo "$WORK/korimo.in"
  exec 7<>"$WORK/korimo.in"  # held open (read-write: never blocks), so korimo never sees end-of-input
  KFD_OPEN=1
  if [[ -n $STANDIN ]]; then
    [[ $STANDIN == nginx ]] || die "unknown BENCH_KORIMO_STANDIN=$STANDIN"
    log "korimo column played by a second nginx (stand-in)"
    start_nginx standin "$KPORT"; KPID=$NGINX_PID
  else
    [[ -x $KORIMO_BIN ]] || die "no korimo binary at $KORIMO_BIN (BENCH_KORIMO_STANDIN=nginx runs without it)"
    (cd "$WORK" && exec "$KORIMO_BIN" --console --port "$KPORT" <"$WORK/korimo.in" >"$WORK/korimo.log" 2>&1) &
    KPID=$!
  fi
  probe "$KPORT" /page.html >/dev/null || die "korimo does not answer on $KPORT (see $WORK/korimo.log)"
  # 20 operator lines for the chat view, then wait until the page stops growing.
  for i in $(seq -w 1 20); do echo "bench line $i: the quick brown fox jumps" >&7; done
  local last=-1 size
  for _ in $(seq 25); do
    size=$(probe "$KPORT" /scripts/status.cgi) || die "korimo gives no chat view"
    [[ $size == "$last" ]] && break
    last=$size; sleep 0.2
  done
  CGI_BYTES=$size
  log "korimo pid $KPID port $KPORT (status.cgi body $CGI_BYTES bytes), nginx pid $NPID port $NPORT"
}

# ------------------------------------------------------------------ runs
DATA=""
RUN_NO=0
PLAN=0 PLAN_RUNS=0 PLAN_SECONDS=0
# run_one CASE SERVER ROUND LOAD_SECONDS SETTLE_SECONDS loadgen-args...
# LOAD_SECONDS bounds the load generator (ab: its -t limit), SETTLE_SECONDS the
# wait for the server to go quiet after it. With PLAN=1 only adds up the worst case.
run_one() {
  local id=$1 srv=$2 round=$3 settle_max=$5
  local worst=$(($4 + RUN_OVERHEAD + $5))
  shift 5
  if ((PLAN)); then PLAN_RUNS=$((PLAN_RUNS + 1)) PLAN_SECONDS=$((PLAN_SECONDS + worst)); return; fi
  local pid port
  if [[ $srv == korimo ]]; then pid=$KPID port=$KPORT; else pid=$NPID port=$NPORT; fi
  RUN_NO=$((RUN_NO + 1))
  if ((SECONDS - START + worst > BUDGET)); then
    log "skip $id $srv round $round: time budget"
    echo "case=$id server=$srv round=$round skipped=1" >>"$DATA"
    return
  fi
  if ! kill -0 "$pid" 2>/dev/null; then
    log "skip $id $srv round $round: server is not running"
    echo "case=$id server=$srv round=$round dead=1" >>"$DATA"
    return
  fi
  local o1 d1 o2 d2 c1 c2 rss thr line
  read -r o1 d1 < <(listen_counters)
  c1=$(cpu_ticks "$pid")
  rm -f "$WORK/sample"
  sampler "$pid" "$WORK/sample" &
  SAMPLER_PID=$!
  if [[ $1 == ab ]]; then
    shift
    line=$(ab_result "$port" "$@")
  else
    line=$("$LOADGEN" --port "$port" --quiet "$@" 2>>"$WORK/loadgen.err" | grep '^RESULT ' || true)
  fi
  kill "$SAMPLER_PID" 2>/dev/null; wait "$SAMPLER_PID" 2>/dev/null || true
  SAMPLER_PID=""
  c2=$(cpu_ticks "$pid")
  read -r o2 d2 < <(listen_counters)
  read -r rss thr <"$WORK/sample" 2>/dev/null || { rss=0; thr=0; }
  [[ -n $line ]] || line="RESULT failed=1"
  echo "case=$id server=$srv round=$round ${line#RESULT } cpu_ticks=$((c2 - c1)) rss_peak_kb=$rss threads_peak=$thr hwm_kb=$(status_field "$pid" VmHWM) overflows=$((o2 - o1)) drops=$((d2 - d1))" >>"$DATA"
  local ok rate
  ok=${line##* ok=}; ok=${ok%% *}; rate=${line##* rate=}; rate=${rate%% *}
  log "$(printf '%3d %-12s %-6s round %d: ok %s, %s req/s' "$RUN_NO" "$id" "$srv" "$round" "$ok" "$rate")"
  settle "$pid" "$settle_max"
}

# ab_result PORT REQUESTS CONCURRENCY PATH SECONDS: one ApacheBench run (at most
# SECONDS long), its figures as a RESULT line like loadgen's; nothing when ab
# gave none. Latencies are ab's: connect start to the server's close, whole ms.
ab_result() {
  local out=$WORK/ab-$RUN_NO.txt
  # -t first: it implies a request count of its own, which the -n after it replaces.
  ab -q -r -s 10 -t "$5" -n "$2" -c "$3" "http://127.0.0.1:$1$4" >"$out" 2>&1 || true
  awk -v asked="$2" -v conns="$3" '
    $1 == "Complete" && $2 == "requests:" { done = $3 }
    $1 == "Failed" && $2 == "requests:" { failed = $3 }
    $1 == "Non-2xx" { non2xx = $3 }
    $1 == "Requests" && $3 == "second:" { rate = $4 }
    $1 == "Time" && $3 == "for" { elapsed = $5 }
    $1 == "Total" && $2 == "transferred:" { bytes = $3 }
    $1 == "50%" { p50 = $2 } $1 == "90%" { p90 = $2 } $1 == "99%" { p99 = $2 } $1 == "100%" { longest = $2 }
    END {
      if (done == "" || longest == "") exit
      printf "RESULT tool=ab conns=%d requests=%d started=%d ok=%d errors=%d err_status=%d err_other=%d rate=%s elapsed=%s bytes=%d p50_ms=%s p90_ms=%s p99_ms=%s max_ms=%s\n",
        conns, asked, done, done - failed - non2xx, failed + non2xx, non2xx, failed, rate, elapsed, bytes, p50, p90, p99, longest
    }' "$out"
}

# settle PID MAX_SECONDS: waits until the server has used almost no CPU for 0.5 s,
# so that the backlog one case leaves behind does not weigh on the next.
settle() {
  local prev cur i
  prev=$(cpu_ticks "$1")
  for ((i = 0; i < $2 * 2; i++)); do
    sleep 0.5
    cur=$(cpu_ticks "$1")
    if ((cur - prev <= 2)); then
      # Worth knowing how close a long aftermath comes to its limit.
      ((i >= 2)) && log "server $1 quiet after $(((i + 1) * 5 / 10)).$(((i + 1) * 5 % 10)) s (limit $2 s)"
      return 0
    fi
    prev=$cur
  done
  log "server $1 still busy after $2 s"
}

# Closed loops leave nothing behind once the load generator has read its last
# answer, so they get 1 s to settle; a drain of 1 s is ample for answers that
# take milliseconds (a longer stall is an error worth seeing either way).
run_cases() {
  local round=$1 c drain=1 t=$CASE_S
  local common=(--duration "$t" --drain "$drain" --timeout 3)
  local load=$((t + drain))
  if wants halfclose; then
    for c in 1 10 100 500; do
      run_one "hc$c-page" korimo "$round" $load 1 --mode halfclose --conns $c --path /page.html --expect-bytes 1300 "${common[@]}"
      run_one "hc$c-page" nginx "$round" $load 1 --mode halfclose --conns $c --path /page.html --expect-bytes 1300 "${common[@]}"
      run_one "hc$c-cgi" korimo "$round" $load 1 --mode halfclose --conns $c --path /scripts/status.cgi --min-bytes "$CGI_BYTES" "${common[@]}"
    done
  fi
  if wants open; then
    run_one open100-cgi korimo "$round" $load 1 --mode open --conns 100 --path /scripts/status.cgi --min-bytes "$CGI_BYTES" "${common[@]}"
    run_one open100-cgi nginx "$round" $load 1 --mode open --conns 100 --path /page.html --expect-bytes 1300 "${common[@]}"
  fi
  if wants ab; then
    # Browser style with ApacheBench: korimo answers each request after its
    # 200 ms pause, so a connection slot makes 5 requests a second there. The
    # -t limit, twice the expected length, only bounds a run gone wrong.
    local ab_limit=$((AB_S * 2 + 1))
    for c in 50 200; do
      run_one "ab$c" korimo "$round" $ab_limit 1 ab $((c * AB_S * 5)) $c /scripts/status.cgi $ab_limit
      run_one "ab$c" nginx "$round" $ab_limit 1 ab "$AB_NGINX_N" $c /page.html $ab_limit
    done
  fi
  if wants idle; then
    # The load generator opens one idle connection a millisecond: 2000 take
    # 2 s, and 2.4 s on a busy machine; 5 s bounds their set-up.
    local idle=(--mode halfclose --conns 10 --idle 2000 --idle-setup 5 --path /page.html --expect-bytes 1300 "${common[@]}")
    run_one idle2000 korimo "$round" $((5 + load)) 1 "${idle[@]}"
    run_one idle2000 nginx "$round" $((5 + load)) 1 "${idle[@]}"
  fi
  if wants file; then
    # nginx drops a half-closed client while a large answer is still being sent,
    # so its column reads with the sending side open (it has no pause to pay).
    # A 100 MiB answer takes a fraction of a second: 3 s of drain is ample.
    local fargs=(--path /big.bin --expect-bytes $((100 * 1048576)) --duration "$t" --drain 3 --timeout 10)
    local kmode=halfclose
    [[ -n $STANDIN ]] && kmode=open  # the stand-in is an nginx too
    for c in 1 4; do
      run_one "file$c" korimo "$round" $((t + 3)) 1 --mode $kmode --conns $c "${fargs[@]}"
      run_one "file$c" nginx "$round" $((t + 3)) 1 --mode open --conns $c "${fargs[@]}"
    done
  fi
}

# After every other case: a population's aftermath (a long backlog of
# connections on korimo) would weigh on whatever ran next. The 10 000 and
# 20 000 rows are within korimo's reach and leave little behind; after the
# 50 000 row the next round's 10 000 must not start on its backlog.
run_populations() {
  local round=$1 b settle_max
  wants population || return 0
  for b in 10000 20000 50000; do
    settle_max=3; ((b == 50000)) && settle_max=10
    run_one "pop$b" korimo "$round" $((POP_S + 5)) $settle_max --mode population --browsers $b --interval 5 \
      --path /scripts/status.cgi --min-bytes "$CGI_BYTES" --duration "$POP_S" --drain 5 --timeout 5
  done
}

run_all() {
  local r
  for ((r = 1; r <= ROUNDS; r++)); do run_cases "$r"; done
  for ((r = 1; r <= ROUNDS; r++)); do run_populations "$r"; done
}

# ------------------------------------------------------------------ table
report() {
  awk -v clk="$(getconf CLK_TCK)" -v quick="$QUICK" -v rounds="$ROUNDS" -v standin="$STANDIN" \
    -v load1="$LOAD_START" -v load2="$(cut -d' ' -f1-3 /proc/loadavg)" -v cores="$(nproc)" '
  function median(key,   n, i, j, t, a) {
    n = cnt[key]; if (n == 0) return "";
    for (i = 1; i <= n; i++) a[i] = val[key, i] + 0;
    for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
    return (n % 2) ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2;
  }
  function extreme(key, sign,   n, i, x) {  # sign 1: the largest value, -1: the smallest
    n = cnt[key]; if (n == 0) return "";
    x = val[key, 1] + 0
    for (i = 2; i <= n; i++) if (sign * (val[key, i] - x) > 0) x = val[key, i] + 0
    return x
  }
  function add(cs, m, v) { if (v == "") return; k = cs SUBSEP m; cnt[k]++; val[k, cnt[k]] = v }
  function med(c, s, m) { return median(c SUBSEP s SUBSEP m) }
  function lo(c, s, m) { return extreme(c SUBSEP s SUBSEP m, -1) }
  function hi(c, s, m) { return extreme(c SUBSEP s SUBSEP m, 1) }
  function num(v, fmt) { return v == "" ? "-" : sprintf(fmt, v) }
  {
    delete kv
    for (i = 1; i <= NF; i++) { split($i, p, "="); kv[p[1]] = substr($i, length(p[1]) + 2) }
    if (!("case" in kv)) next  # the run description line
    c = kv["case"]; s = kv["server"]
    if (kv["skipped"] || kv["dead"] || kv["failed"]) { missing[c, s]++; next }
    cs = c SUBSEP s
    if (!((c, s) in seen)) order[++norder] = cs
    seen[cs] = 1
    add(cs, "rate", substr(c, 1, 4) == "file" ? kv["ok_mibps"] : kv["rate"])
    add(cs, "p50", kv["p50_ms"]); add(cs, "p99", kv["p99_ms"]); add(cs, "max", kv["max_ms"]); add(cs, "c99", kv["connect_p99_ms"])
    add(cs, "err", kv["errors"])
    started = kv["started"] + 0
    add(cs, "cpu", started > 0 ? kv["cpu_ticks"] * 1e6 / clk / started : 0)
    add(cs, "rss", kv["rss_peak_kb"] / 1024); add(cs, "thr", kv["threads_peak"]); add(cs, "hwm", kv["hwm_kb"] / 1024)
    add(cs, "ovf", kv["overflows"] + kv["drops"])
    add(cs, "nominal", kv["nominal"]); add(cs, "late", kv["late"]); add(cs, "idle", kv["idle_held"])
    add(cs, "maxinf", kv["max_inflight"])
    if (kv["browsers"] > 0 && kv["interval"] > 0) {
      asked = kv["browsers"] / kv["interval"]
      add(cs, "asked", asked); add(cs, "pct", 100 * kv["rate"] / asked)
    }
    for (e in kv) if (e ~ /^err_/ && kv[e] > 0) { errs[c, s, substr(e, 5)] += kv[e]; errcs[c, s] = 1 }
  }
  function row(label, c, kc, nc,   kr, nr, ratio) {
    if (!seen[kc, "korimo"] && !seen[nc, "nginx"]) return
    kr = med(kc, "korimo", "rate"); nr = med(nc, "nginx", "rate")
    ratio = (kr != "" && nr != "" && nr > 0) ? sprintf("%.2f", kr / nr) : "-"
    printf "%-34s %9s %7s %7s %8s %7s %6s | %9s %7s %7s %8s %7s %6s | %6s | %7s %7s | %7s %7s | %6s | %6s\n", label,
      num(kr, "%.1f"), num(med(kc, "korimo", "p50"), "%.2f"), num(med(kc, "korimo", "p99"), "%.2f"),
      num(med(kc, "korimo", "max"), "%.1f"), num(med(kc, "korimo", "c99"), "%.2f"), num(med(kc, "korimo", "err"), "%d"),
      num(nr, "%.1f"), num(med(nc, "nginx", "p50"), "%.2f"), num(med(nc, "nginx", "p99"), "%.2f"),
      num(med(nc, "nginx", "max"), "%.1f"), num(med(nc, "nginx", "c99"), "%.2f"), num(med(nc, "nginx", "err"), "%d"),
      ratio, num(med(kc, "korimo", "cpu"), "%.1f"), num(med(nc, "nginx", "cpu"), "%.1f"),
      num(med(kc, "korimo", "rss"), "%.1f"), num(med(nc, "nginx", "rss"), "%.1f"),
      num(med(kc, "korimo", "thr"), "%d"), num(med(kc, "korimo", "ovf") + (seen[nc, "nginx"] ? med(nc, "nginx", "ovf") : 0), "%d")
  }
  END {
    printf "\nkorimo vs nginx, loopback, %s, %d round(s), medians%s\n", quick == 1 ? "quick mode" : "full mode", rounds,
      standin != "" ? " -- KORIMO COLUMN IS A STAND-IN (" standin ")" : ""
    printf "%-34s %-58s | %-58s | %6s | %-15s | %-15s | %6s | %6s\n", "", "korimo", "nginx", "k/n", "cpu us/req", "RSS MiB (peak)", "thr", "ovf+dr"
    printf "%-34s %9s %7s %7s %8s %7s %6s | %9s %7s %7s %8s %7s %6s | %6s | %7s %7s | %7s %7s | %6s | %6s\n", "case",
      "req/s", "p50ms", "p99ms", "maxms", "conn99", "errs", "req/s", "p50ms", "p99ms", "maxms", "conn99", "errs", "rate", "korimo", "nginx", "korimo", "nginx", "korimo", "both"
    split("1 10 100 500", Cs, " ")
    for (i = 1; i <= 4; i++) row("half-close C=" Cs[i] " page.html", "", "hc" Cs[i] "-page", "hc" Cs[i] "-page")
    for (i = 1; i <= 4; i++) row("half-close C=" Cs[i] " status.cgi/page", "", "hc" Cs[i] "-cgi", "hc" Cs[i] "-page")
    row("browser C=100 status.cgi/page", "", "open100-cgi", "open100-cgi")
    row("ab C=50 status.cgi/page", "", "ab50", "ab50")
    row("ab C=200 status.cgi/page", "", "ab200", "ab200")
    row("idle 2000 + half-close C=10", "", "idle2000", "idle2000")
    row("file 100MiB C=1 (MiB/s)", "", "file1", "file1")
    row("file 100MiB C=4 (MiB/s)", "", "file4", "file4")
    split("10000 20000 50000", B, " ")
    for (i = 1; i <= 3; i++) row("population " B[i] "/5s status.cgi", "", "pop" B[i], "-")
    print ""
    if (seen["open100-cgi", "korimo"])
      printf "browser style: korimo latency above the 200 ms pause: p50 %+.2f ms, p99 %+.2f ms\n",
        med("open100-cgi", "korimo", "p50") - 200, med("open100-cgi", "korimo", "p99") - 200
    for (i = 1; i <= 2; i++) { c = i == 1 ? "ab50" : "ab200"
      if (seen[c, "korimo"])
        printf "ab C=%s: korimo latency above the 200 ms pause: p50 %+.0f ms, p99 %+.0f ms, longest %+.0f ms\n", substr(c, 3),
          med(c, "korimo", "p50") - 200, med(c, "korimo", "p99") - 200, med(c, "korimo", "max") - 200
    }
    if (seen["idle2000", "korimo"])
      printf "idle 2000: korimo peak %.1f MiB resident (VmHWM %.1f MiB), %d threads, %d idle held; nginx peak %.1f MiB over its processes\n",
        med("idle2000", "korimo", "rss"), med("idle2000", "korimo", "hwm"), med("idle2000", "korimo", "thr"),
        med("idle2000", "korimo", "idle"), med("idle2000", "nginx", "rss")
    for (i = 1; i <= 3; i++) { c = "pop" B[i]; if (!seen[c, "korimo"]) continue
      printf "population %s: %.1f of %.0f req/s asked = %.1f %% (rounds %.1f to %.1f %%); p99 per round min / median / max %.1f / %.1f / %.1f ms over %d round(s); %d started late, at most %d in flight\n",
        B[i], med(c, "korimo", "rate"), med(c, "korimo", "asked"), 100 * med(c, "korimo", "rate") / med(c, "korimo", "asked"),
        lo(c, "korimo", "pct"), hi(c, "korimo", "pct"),
        lo(c, "korimo", "p99"), med(c, "korimo", "p99"), hi(c, "korimo", "p99"), cnt[c SUBSEP "korimo" SUBSEP "p99"],
        med(c, "korimo", "late"), med(c, "korimo", "maxinf")
    }
    split("refused reset timeout short malformed status other", K, " ")
    for (o = 1; o <= norder; o++) {
      k = order[o]; if (!(k in errcs)) continue
      split(k, q, SUBSEP); line = ""
      for (i = 1; i <= 7; i++) if (errs[q[1], q[2], K[i]]) line = line " " K[i] "=" errs[q[1], q[2], K[i]]
      printf "errors %s %s, all rounds:%s\n", q[1], q[2], line
    }
    for (k in missing) { split(k, q, SUBSEP); printf "missing %s %s: %d run(s) skipped or failed\n", q[1], q[2], missing[k] }
    printf "machine: %s cores; load average %s at the start, %s at the end (other work on the machine skews the figures)\n", cores, load1, load2
    print "rate = successful answers/s (MiB/s for files; ab rows: ab'"'"'s requests/s); latency from connect start to the server'"'"'s close;"
    print "ab rows: ApacheBench -n N -c C, sending side open as browsers; p50/p99/maxms from its percentile table (whole ms, maxms = longest);"
    print "cpu = server utime+stime per request (nginx: master and workers); RSS summed over a server'"'"'s processes;"
    print "ovf+dr = TcpExtListenOverflows + TcpExtListenDrops deltas (system-wide) during the case."
    print "status.cgi rows compare korimo'"'"'s chat view with nginx'"'"'s static page; the file rows read nginx with the sending side open."
  }' "$DATA"
}

# ------------------------------------------------------------------ main
# The chart goes to docs/ only from a full run of every group with korimo itself.
chart_path() {
  if [[ -n ${BENCH_CHART:-} ]]; then echo "$BENCH_CHART"
  elif [[ $QUICK != 1 && -z $STANDIN && $ONLY == "$ALL_GROUPS" ]]; then echo "$REPO/docs/bench.svg"
  else mktemp --suffix=.svg /tmp/korimo-bench-chart.XXXXXX
  fi
}

ensure_tools
build
START=$SECONDS  # the budget counts from here: make bench builds before it starts
LOAD_START=$(cut -d' ' -f1-3 /proc/loadavg)
WORK=$(mktemp -d /tmp/korimo-bench.XXXXXX)
DATA=$WORK/results.txt
echo "meta=1 mode=$([[ $QUICK == 1 ]] && echo quick || echo full) rounds=$ROUNDS case_seconds=$CASE_S pop_seconds=$POP_S standin=$STANDIN date=$(date +%F) cores=$(nproc)" >"$DATA"
make_files
start_servers
PLAN=1; run_all; PLAN=0
log "rounds $ROUNDS, closed-loop cases ${CASE_S} s, populations ${POP_S} s: $PLAN_RUNS runs, at most $PLAN_SECONDS s after $((SECONDS - START)) s of set-up, budget ${BUDGET} s"
if ((SECONDS - START + PLAN_SECONDS > BUDGET)); then
  log "WARNING: the worst case overruns the budget; runs that could overrun it will be skipped and shown as missing"
fi
run_all
report
[[ -n ${BENCH_OUT:-} ]] && cp "$DATA" "$BENCH_OUT"
CHART=$(chart_path)
if command -v gnuplot >/dev/null; then
  "$REPO/scripts/bench-chart.sh" "$DATA" "$CHART" || log "no chart: drawing it failed"
else
  log "no chart: gnuplot is missing"
fi
log "done in $((SECONDS - START)) s after the build"
