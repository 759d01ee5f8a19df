#!/usr/bin/env bash
# Runs every test: the unit, server and end-to-end tests through CTest.
set -euo pipefail
build="${1:-build}"
cd "$(dirname "$0")/.."
ctest --test-dir "$build" --output-on-failure -j2 --timeout 300
