#!/usr/bin/env bash
# Builds korimo_<version>_<arch>.deb with Debian's own tools from a copy of
# the tree (dpkg-buildpackage writes beside the source and leaves build
# folders in it), without the tests, then checks it with lintian.
# Usage: build-deb.sh [OUT_DIR]   (default: build/deb)
# Prints where it left the package. LINTIAN=0 skips the check.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build/deb}")
version=$(sed -nE '1s/^korimo \(([^)]+)\).*/\1/p' debian/changelog)
[ -n "$version" ] || { echo "build-deb: no version in debian/changelog" >&2; exit 1; }

work=$(mktemp -d /tmp/korimo-deb.XXXXXX)
trap 'rm -rf "$work"' EXIT
src="$work/korimo-$version"
mkdir "$src"
# The tree as it stands, committed or not, without build output and
# ignored files.
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
  tar --null -T - -cf - | tar -xf - -C "$src"

start=$(date +%s)
(
  cd "$src"
  DEB_BUILD_OPTIONS="nocheck noddebs parallel=2" DEB_BUILD_PROFILES=nocheck \
    dpkg-buildpackage -b -us -uc >"$work/build.log" 2>&1
) || { tail -n 60 "$work/build.log" >&2; echo "build-deb: dpkg-buildpackage failed" >&2; exit 1; }
mkdir -p "$out"
deb=$(ls "$work"/korimo_"$version"_*.deb)
cp "$deb" "$out/"
deb="$out/$(basename "$deb")"
echo "build-deb: built in $(( $(date +%s) - start )) s"

if [ "${LINTIAN:-1}" != 0 ]; then
  # Errors fail the build; warnings are shown (each is answered in the
  # commit that left it).
  lintian --fail-on error "$deb" || {
    echo "build-deb: lintian found errors" >&2
    exit 1
  }
fi
echo "build-deb: the package is $deb"
