#!/usr/bin/env bash
# Installs the Debian packages the project needs, and only those missing.
# Quiet when everything is there.
# Usage: install-deps.sh [build|test|package|screenshot|bench|stress]
set -euo pipefail

want=(g++ cmake ninja-build make pkg-config libgtest-dev qt6-base-dev fonts-ipafont-gothic)
package="debhelper dpkg-dev lintian libcap2-bin systemd"
case "${1:-build}" in
  build) ;;
  # test: the package test builds, checks, installs and runs the package
  # (setpriv and runuser come with util-linux, which every system has).
  test) want+=(clang-14 libclang-rt-14-dev xvfb xauth chromium iproute2 $package) ;;
  # package: make deb, and what the package needs on the machine.
  package) want+=($package) ;;
  # bench: the reference nginx, nstat for the listen-queue counters, ab,
  # gnuplot for the chart.
  bench) want+=(nginx-light iproute2 apache2-utils gnuplot-nox) ;;
  # screenshot: a private X display, xwd to take a window's pixels from
  # the X server, netpbm to make them a PNG (scripts/desktop-screenshot.sh).
  screenshot) want+=(xvfb x11-apps netpbm) ;;
  # stress: the slow-client attacks.
  stress) want+=(slowhttptest) ;;
  *) echo "usage: $0 [build|test|package|screenshot|bench|stress]" >&2; exit 2 ;;
esac
if [ "${1:-build}" = test ] && ! command -v node >/dev/null; then want+=(nodejs npm); fi
if [ "${1:-build}" = test ] && ! command -v npm >/dev/null; then want+=(npm); fi

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]}; run as root or: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# No service may start from a package's install scripts (nginx's would
# take port 80): refuse every start while installing, unless the machine
# already does.
guard=
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d && guard=1
fi
# apt's chatter (debconf's notes among it) is shown only when it fails.
out=$(mktemp)
rc=0
{ apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >"$out" 2>&1 || rc=$?
if [ -n "$guard" ]; then rm -f /usr/sbin/policy-rc.d; fi
if [ $rc -ne 0 ]; then cat "$out" >&2; fi
rm -f "$out"
exit $rc
