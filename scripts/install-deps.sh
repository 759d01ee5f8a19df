#!/usr/bin/env bash
# Installs the Debian packages the project needs, and only those missing.
# Quiet when everything is there. Usage: install-deps.sh [build|test|bench]
set -euo pipefail

want=(g++ cmake ninja-build make pkg-config libgtest-dev qt6-base-dev fonts-ipafont-gothic)
case "${1:-build}" in
  build) ;;
  test) want+=(clang-14 libclang-rt-14-dev xvfb xauth chromium iproute2) ;;
  bench) want+=(nginx-light iproute2) ;;
  *) echo "usage: $0 [build|test|bench]" >&2; exit 2 ;;
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
apt-get update -qq >/dev/null
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
