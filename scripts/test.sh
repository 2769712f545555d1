#!/usr/bin/env bash
# Installs what is missing, builds, checks the install list against the build, and runs every
# test: the normal build's suites, then the sanitizer builds and the bounded fuzz runs
# (scripts/ci-sanitizers.sh).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"

# What the build read and what the tests run must come from the install list, or a fresh
# machine fails where this one passes.
"$root/scripts/check-install-list.sh" "$root/build"

cd "$root/build"
"$root/scripts/with-display.sh" ctest --output-on-failure -j "$(nproc)" --timeout 900 | tee ctest-normal.log
tail -n 3 ctest-normal.log | grep -q "tests passed" || true

if [ -x "$root/scripts/ci-sanitizers.sh" ]; then
    "$root/scripts/with-display.sh" "$root/scripts/ci-sanitizers.sh" "$root"
fi

# The last line is the summary of the whole normal suite, which is what a reader wants.
grep -E "tests passed|tests failed" ctest-normal.log | tail -n 1
