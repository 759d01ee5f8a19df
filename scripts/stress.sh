#!/usr/bin/env bash
# The long fault run, outside make test (about 70 s): korimo is started
# here with a high descriptor limit, then stress/korimo_stress holds 2000
# silent connections open while 100 ordinary requests are answered, checks
# the 60 s limits for silent and trickling clients, and prints a report.
#
#   scripts/stress.sh [BUILD_DIR]      (default: $BUILD_DIR or build)
# Environment: STRESS_IDLE (silent connections, 2000), STRESS_REQUESTS (100).
set -euo pipefail
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:-${BUILD_DIR:-build}}
[[ $BUILD = /* ]] || BUILD="$REPO/$BUILD"
IDLE=${STRESS_IDLE:-2000}
REQUESTS=${STRESS_REQUESTS:-100}

log() { printf 'stress: %s\n' "$*" >&2; }

[[ -f $BUILD/build.ninja || -f $BUILD/Makefile ]] || cmake -S "$REPO" -B "$BUILD" -G Ninja >/dev/null
cmake --build "$BUILD" --target korimo -j2 >/dev/null
if cmake --build "$BUILD" --target korimo_stress -j2 >/dev/null 2>&1; then
  STRESS="$BUILD/stress/korimo_stress"
else
  # The build does not include stress/ (add_subdirectory(stress) in the
  # top-level CMakeLists.txt): compile the one source directly.
  STRESS="$BUILD/korimo_stress"
  log "building $STRESS directly"
  "${CXX:-c++}" -std=c++20 -O2 -pthread -I"$REPO/tests" -I"$REPO/src" \
    -DKORIMO_BINARY="\"$BUILD/korimo\"" "$REPO/stress/korimo_stress.cpp" -o "$STRESS"
fi

# Descriptors for every connection, on both sides; korimo inherits the limit.
need=$((IDLE + REQUESTS + 256))
hard=$(ulimit -Hn)
if [[ $hard != unlimited ]] && ((hard < need)); then
  log "the hard descriptor limit ($hard) is below the $need needed; lower STRESS_IDLE"
  exit 1
fi
ulimit -n "$need"

work=$(mktemp -d)
pid=
cleanup() {
  if [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/root"
printf '<html><body>stress</body></html>\r\n' >"$work/root/index.html"

# A port that was free a moment ago; retried when someone takes it first.
for attempt in 1 2 3 4 5; do
  port=$("$STRESS" --free-port)
  (cd "$work" && exec "$BUILD/korimo" --console --port "$port" </dev/null >"$work/out.log" 2>"$work/err.log") &
  pid=$!
  for _ in $(seq 50); do
    if ! kill -0 "$pid" 2>/dev/null || (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then break; fi
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && break
  wait "$pid" || true
  pid=
  grep -q 'Address already in use' "$work/err.log" || { cat "$work/err.log" >&2; exit 1; }
done
[[ -n $pid ]] || { log "korimo did not start"; exit 1; }

rc=0
"$STRESS" --port "$port" --pid "$pid" --idle "$IDLE" --requests "$REQUESTS" || rc=$?

# SIGTERM ends korimo as the Exit button does: status 0.
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=
echo "  korimo after SIGTERM: exit status $status"
if ((status != 0)); then rc=1; fi
if grep -q '^korimo:' "$work/err.log"; then
  echo "  korimo reported errors:"
  sed 's/^/    /' "$work/err.log"
  rc=1
fi
exit $rc
