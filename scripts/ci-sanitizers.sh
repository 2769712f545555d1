#!/usr/bin/env bash
# Sanitizer builds and bounded fuzz runs, each in a build directory of its own:
#   build-asan  clang with AddressSanitizer + UndefinedBehaviorSanitizer: every test (the gui
#               label needs an X display: the caller provides DISPLAY), and the fuzz targets
#               linked with libFuzzer
#   build-tsan  ThreadSanitizer on the device library, the simulator and their tests
#   fuzz        each fuzz target of build-asan for a bounded time on a copy of its seed corpus
# JUCE is compiled once for each of the two builds.
# Usage: scripts/ci-sanitizers.sh [repo root]. Every step runs even when an earlier one
# failed; the exit status is non-zero when any step failed.
#
# Environment: TARVO_FUZZ_SECONDS (default 60) per fuzz target; TARVO_SANITIZER_STEPS, a
# space-separated subset of "asan tsan fuzz" (default all three; fuzz needs asan's build).
set -uo pipefail

root="$(cd "${1:-$(dirname "$0")/..}" && pwd)"
jobs="$(nproc)"
fuzz_seconds="${TARVO_FUZZ_SECONDS:-60}"
steps="${TARVO_SANITIZER_STEPS:-asan tsan fuzz}"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$root/scripts/ubsan.supp"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"

# Sanitizer runtimes of this toolchain cannot map their shadow memory under the wide
# address randomisation of newer kernels; running without randomisation avoids it.
no_aslr=()
if setarch "$(uname -m)" -R true 2>/dev/null; then
    no_aslr=(setarch "$(uname -m)" -R)
fi

failed=()

run_step() {
    local name="$1"
    shift
    echo "== ci-sanitizers: $name"
    if "$@"; then
        echo "== ci-sanitizers: $name: ok"
    else
        echo "== ci-sanitizers: $name: FAILED"
        failed+=("$name")
    fi
}

configure() {
    local dir="$1"
    shift
    mkdir -p "$root/$dir"
    cmake -S "$root" -B "$root/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
          -DTARVO_BUILD_BENCH=OFF "$@" >"$root/$dir/configure.log" 2>&1 \
        || { tail -n 40 "$root/$dir/configure.log"; return 1; }
}

build() {
    local dir="$1"
    shift
    cmake --build "$root/$dir" -j "$jobs" "$@"
}

ctest_in() {
    local dir="$1"
    shift
    (cd "$root/$dir" && "${no_aslr[@]}" ctest --output-on-failure -j "$jobs" --timeout 900 "$@")
}

# Runs each fuzz target listed in the build's manifest on a fresh copy of its corpus, so
# that what libFuzzer adds never lands in the repository.
run_fuzzers() {
    local dir="$root/build-asan" manifest="$root/build-asan/fuzz-targets.txt" status=0
    local work="$dir/fuzz-work" name exe corpus

    [ -s "$manifest" ] || { echo "no fuzz targets listed in $manifest"; return 1; }
    rm -rf "$work"
    mkdir -p "$work/artifacts"

    while read -r name exe corpus; do
        [ -n "$name" ] || continue
        mkdir -p "$work/corpus/$name"
        cp -R "$corpus/." "$work/corpus/$name/"
        echo "-- fuzzing $name for ${fuzz_seconds}s"

        if "${no_aslr[@]}" "$exe" -max_total_time="$fuzz_seconds" -timeout=20 -print_final_stats=1 \
               -artifact_prefix="$work/artifacts/$name-" "$work/corpus/$name" \
               >"$work/$name.log" 2>&1; then
            grep -E "^stat::number_of_executed_units|^Done" "$work/$name.log" || true
        else
            echo "-- $name failed; the end of its log:"
            tail -n 60 "$work/$name.log"
            ls -l "$work/artifacts" || true
            status=1
        fi
    done <"$manifest"

    return $status
}

for step in $steps; do
    case "$step" in
        asan)
            run_step "asan build" eval 'configure build-asan -DTARVO_SANITIZER=fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ && build build-asan'
            [[ " ${failed[*]} " == *" asan build "* ]] || run_step "asan tests" ctest_in build-asan
            ;;
        tsan)
            run_step "tsan build" eval 'configure build-tsan -DTARVO_SANITIZER=thread -DTARVO_DEVICE_ONLY=ON && build build-tsan'
            [[ " ${failed[*]} " == *" tsan build "* ]] || run_step "tsan tests" ctest_in build-tsan
            ;;
        fuzz)
            if [ -s "$root/build-asan/fuzz-targets.txt" ]; then
                run_step "fuzz runs" run_fuzzers
            else
                echo "ci-sanitizers: fuzz needs the asan build"
                failed+=("fuzz")
            fi
            ;;
        *)
            echo "ci-sanitizers: unknown step '$step'"
            failed+=("$step")
            ;;
    esac
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "ci-sanitizers: failed: ${failed[*]}"
    exit 1
fi

echo "ci-sanitizers: all sanitizer steps passed"
