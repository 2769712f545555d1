#!/usr/bin/env bash
# Builds the benchmark programs and runs them all (a few minutes), then prints the figures
# of every program together. Not part of the test command: timings are not tests.
#   scripts/bench.sh                  build into build/ (as scripts/build.sh does)
#   BUILD_DIR=/some/dir scripts/bench.sh
#   scripts/bench.sh receive codecs   run only those programs
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"

"$root/scripts/install-deps.sh"

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi

programs=("${@:-update receive codecs message_thread idle}")
read -r -a programs <<< "${programs[*]}"
targets=()
for p in "${programs[@]}"; do targets+=("tarvo_bench_$p"); done
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

logs="$build/bench/logs"
mkdir -p "$logs"

for p in "${programs[@]}"; do
    exe="$build/bench/tarvo_bench_$p"
    echo "=== tarvo_bench_$p"
    if [ "$p" = message_thread ]; then
        # The window needs an X display; a private Xvfb keeps the measurement off any
        # desktop that happens to be running.
        xvfb-run -a -s "-screen 0 1280x1024x24" "$exe" --benchmark_color=false 2>&1 | tee "$logs/$p.txt"
    else
        "$exe" --benchmark_color=false 2>&1 | tee "$logs/$p.txt"
    fi
done

echo
echo "=== All figures ($(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg))"
for p in "${programs[@]}"; do
    sed -n '/^Figures$/,$p' "$logs/$p.txt" | tail -n +2
done
