#!/usr/bin/env bash
# The installed system, as root on this machine:
#  1. make install DESTDIR=... lays out the binary, helper, start page,
#     service, desktop entry, icon and manual page, and the installed
#     binary finds its start page from where it lies;
#  2. make deb builds the package and lintian finds no error in it;
#  3. installed with dpkg (service starts refused by a policy-rc.d), the
#     helper holds the bind capability, and an ordinary user (nobody)
#     starts /usr/bin/korimo on a free privileged port with --directory on
#     an empty folder: the helper binds it, the shipped start page is
#     seeded and served;
#  4. the service's command, run as the unit runs it (a uid of its own, no
#     new privileges, the bind capability its one ambient capability),
#     serves the seeded start page and prints no chat line;
#  5. systemd-analyze verify passes on the installed unit;
#  6. purging removes the program, the helper (and its capability), the
#     unit and the rest.
# Whatever happens, what was installed is purged and what was started is
# stopped. Exit status 77 (skipped) when not root, or when korimo is
# installed on the machine already (the test would purge it).
# Usage: package_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
src=$(realpath "$1")
build=$(realpath "$2")

[ "$(id -u)" -eq 0 ] || { echo "skipped: needs root (dpkg, setcap, runuser)"; exit 77; }
if dpkg-query -W -f='${Status}' korimo 2>/dev/null | grep -q 'ok installed'; then
  echo "skipped: korimo is installed on this machine; the test would purge it"
  exit 77
fi

work=$(mktemp -d /tmp/korimo-package.XXXXXX)
chmod 755 "$work"
installed=
guard=
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do
    kill -KILL "$p" 2>/dev/null
    wait "$p" 2>/dev/null
  done
  if [ -n "$installed" ] && ! dpkg --purge korimo >"$work/cleanup.log" 2>&1; then
    echo "cleanup: dpkg --purge korimo failed:" >&2
    cat "$work/cleanup.log" >&2
  fi
  [ -n "$guard" ] && rm -f /usr/sbin/policy-rc.d
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
die() {
  echo "FAIL: $*" >&2
  exit 1
}

# Polls `cmd...` until it succeeds, for up to `seconds`.
wait_for() {
  local seconds=$1
  shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.05
  done
}

# GET (or POST with a body) on 127.0.0.1:PORT; the whole answer on stdout.
http() {  # port path [body]
  local request
  if [ $# -ge 3 ]; then
    request="POST $2 HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: ${#3}\r\n\r\n$3"
  else
    request="GET $2 HTTP/1.0\r\n\r\n"
  fi
  timeout 20 bash -c 'exec 3<>/dev/tcp/127.0.0.1/$0 && printf "$1" >&3 && cat <&3' "$1" "$request"
}

# True when the answer in file $1 is "200" with exactly the bytes of file $2.
serves_file() {
  head -c 32 "$1" | grep -q '^HTTP/1.0 200 ' || return 1
  local size
  size=$(stat -c %s "$2")
  cmp -s <(tail -c "$size" "$1") "$2" && [ "$(stat -c %s "$1")" -gt "$size" ]
}

# A port below the unprivileged start that nothing listens on, never 80.
privileged_port() {
  local start lowest p i
  start=$(cat /proc/sys/net/ipv4/ip_unprivileged_port_start)
  lowest=$((start > 300 ? start - 300 : 1))
  for i in $(seq 1 100); do
    p=$((lowest + RANDOM % (start - lowest)))
    [ "$p" -ne 80 ] || continue
    [ -z "$(ss -Htln "sport = :$p")" ] && { echo "$p"; return 0; }
  done
  return 1
}

# The pid of the process listening on PORT.
listener_pid() {
  ss -Htlnp "sport = :$1" | sed -nE 's/.*pid=([0-9]+).*/\1/p' | head -1
}

# The effective capabilities of a process, as the kernel's hex mask.
cap_eff() {
  sed -nE 's/^CapEff:\s*([0-9a-f]+)/\1/p' "/proc/$1/status"
}

version=$(sed -nE '1s/^korimo \(([^)]+)\).*/\1/p' "$src/debian/changelog")
[ "$(cat /proc/sys/net/ipv4/ip_unprivileged_port_start)" -gt 1 ] ||
  { echo "skipped: every port is unprivileged here"; exit 77; }

echo "== make install DESTDIR=..."
dest="$work/dest"
make -C "$src" --no-print-directory install BUILD="$build" DESTDIR="$dest" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; die "make install failed"; }
for f in bin/korimo lib/korimo/korimo-bind share/korimo/root/index.html share/korimo/root/post.html \
  lib/systemd/system/korimo.service share/applications/korimo.desktop \
  share/icons/hicolor/scalable/apps/korimo.svg share/man/man1/korimo.1; do
  [ -f "$dest/usr/local/$f" ] || fail "make install left out /usr/local/$f"
done
grep -qx 'ExecStart=/usr/local/bin/korimo .*' "$dest/usr/local/lib/systemd/system/korimo.service" ||
  fail "the installed unit does not start /usr/local/bin/korimo"
[ "$("$dest/usr/local/bin/korimo" --version)" = "korimo $version" ] ||
  fail "--version is not the package's version $version"
# The installed binary seeds from the start page installed beside it.
mkdir "$work/relocated"
port=$(privileged_port) || die "no free privileged port"
"$dest/usr/local/bin/korimo" --console --quiet --port "$port" --directory "$work/relocated" \
  </dev/null >/dev/null 2>"$work/relocated.err" &
pids+=($!)
wait_for 20 grep -q ' started on port' "$work/relocated.err" || fail "the installed binary did not start"
cmp -s "$work/relocated/root/index.html" "$dest/usr/local/share/korimo/root/index.html" ||
  fail "the installed binary did not seed root/ from its own start page"
kill -TERM "${pids[-1]}"
wait "${pids[-1]}" || fail "SIGTERM did not end the installed binary with status 0"
unset 'pids[-1]'

echo "== make deb"
deb_start=$SECONDS
make -C "$src" --no-print-directory deb BUILD="$build" DEB_DIR="$work/deb" >"$work/deb.log" 2>&1 ||
  { cat "$work/deb.log"; die "make deb failed (or lintian found errors)"; }
grep -E '^(W|E|I): |^build-deb:' "$work/deb.log"
echo "make deb took $((SECONDS - deb_start)) s"
deb=$(ls "$work"/deb/korimo_"$version"_"$(dpkg --print-architecture)".deb) || die "no korimo_${version}_*.deb"
grep -q '^E: ' "$work/deb.log" && fail "lintian reports errors"

echo "== dpkg -i"
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d && guard=1
fi
installed=1
DEBIAN_FRONTEND=noninteractive dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; die "dpkg -i failed"; }
helper=/usr/lib/korimo/korimo-bind
getcap "$helper" | grep -q 'cap_net_bind_service=ep' ||
  { cat "$work/dpkg.log"; die "the helper holds no bind capability after the install"; }
[ "$(/usr/bin/korimo --version)" = "korimo $version" ] || fail "/usr/bin/korimo --version"

echo "== an ordinary user on a privileged port"
mkdir "$work/user"
chown nobody: "$work/user"
port=$(privileged_port) || die "no free privileged port"
runuser -u nobody -- /usr/bin/korimo --console --port "$port" --directory "$work/user" \
  </dev/null >"$work/user.out" 2>"$work/user.err" &
pids+=($!)
wait_for 20 grep -q ' started on port' "$work/user.err" ||
  { cat "$work/user.err"; die "korimo did not start for nobody on port $port"; }
pid=$(listener_pid "$port")
[ -n "$pid" ] && [ "$(stat -c %U "/proc/$pid")" = nobody ] || fail "port $port is not held by nobody's korimo"
[ "$(cap_eff "$pid")" = 0000000000000000 ] || fail "nobody's korimo holds capabilities: $(cap_eff "$pid")"
http "$port" / >"$work/user.page" || fail "no answer on port $port"
serves_file "$work/user.page" /usr/share/korimo/root/index.html || fail "nobody's korimo did not serve the start page"
[ "$(stat -c %U "$work/user/root/index.html")" = nobody ] || fail "the seeded root/ is not the user's"
cmp -s "$work/user/root/post.html" /usr/share/korimo/root/post.html || fail "root/ was not seeded from the package"
kill -TERM "$pid"
wait "${pids[-1]}" || fail "SIGTERM did not end nobody's korimo with status 0"
unset 'pids[-1]'

echo "== the service's command, as the unit runs it"
unit=/lib/systemd/system/korimo.service
[ -f "$unit" ] || die "no $unit"
uid=61999  # in systemd's range for dynamic users
getent passwd "$uid" >/dev/null && die "uid $uid is taken here"
state="$work/state"
mkdir -m 700 "$state"
chown "$uid:$uid" "$state"
port=$(privileged_port) || die "no free privileged port"
command=$(sed -n 's/^ExecStart=//p' "$unit")
command=${command//'${KORIMO_PORT}'/$port}
command=${command//'%S/korimo'/$state}
echo "$command"
read -r -a argv <<<"$command"
setpriv --reuid="$uid" --regid="$uid" --clear-groups \
  --inh-caps=-all,+net_bind_service --ambient-caps=-all,+net_bind_service \
  --bounding-set=-all,+net_bind_service --no-new-privs \
  env -C "$state" "${argv[@]}" </dev/null >"$work/service.out" 2>"$work/service.err" &
pids+=($!)
wait_for 20 grep -q ' started on port' "$work/service.err" ||
  { cat "$work/service.err"; die "the service's command did not start"; }
pid=$(listener_pid "$port")
[ "$(cap_eff "$pid")" = 0000000000000400 ] || fail "the service holds more or less than the bind capability: $(cap_eff "$pid")"
grep -q '^NoNewPrivs:\s*1' "/proc/$pid/status" || fail "the service may gain privileges"
http "$port" / >"$work/service.page" || fail "no answer on port $port"
serves_file "$work/service.page" /usr/share/korimo/root/index.html || fail "the service did not serve the start page"
http "$port" /scripts/append.cgi "handle=eve&text=kept+in+memory" >/dev/null || fail "the post was not answered"
http "$port" /scripts/status.cgi | grep -q 'eve> kept in memory' || fail "the post is not in the chat"
kill -TERM "$pid"
wait "${pids[-1]}" || fail "SIGTERM did not end the service's command with status 0"
unset 'pids[-1]'
[ ! -s "$work/service.out" ] || fail "the service printed chat on stdout: $(cat "$work/service.out")"
grep -q '^korimo stopped' "$work/service.err" || fail "no end noted on stderr"
grep -q 'kept in memory' "$work/service.err" && fail "the chat reached stderr"

echo "== systemd-analyze verify"
systemd-analyze verify "$unit" >"$work/verify.log" 2>&1 || { cat "$work/verify.log"; fail "systemd-analyze verify"; }
grep -i 'korimo' "$work/verify.log" && fail "systemd-analyze verify complains about the unit"

echo "== dpkg --purge"
dpkg --purge korimo >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; die "dpkg --purge failed"; }
installed=
for f in /usr/bin/korimo "$helper" /usr/lib/korimo "$unit" /usr/share/korimo /etc/default/korimo \
  /usr/share/applications/korimo.desktop /usr/share/icons/hicolor/scalable/apps/korimo.svg \
  /usr/share/man/man1/korimo.1.gz /usr/share/doc/korimo; do
  [ ! -e "$f" ] || fail "the purge left $f"
done
dpkg-statoverride --list "$helper" >/dev/null && fail "a stat override on the helper is left"

[ $failures -eq 0 ] || exit 1
echo "package: every step passed"
