#!/usr/bin/env bash
# Installs what is missing, checks the formatting, builds and runs every test, in five stages:
#   format   every tracked .cpp and .h file against .clang-format (clang-format --dry-run -Werror)
#   release  Release build, the whole suite (unit, widget, command-line, hostile, stress)
#   asan     the whole suite again under AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan     the concurrency-heavy core suites under ThreadSanitizer
#   fuzz     every libFuzzer target (clang) for a bounded time from the committed seed corpus
# Each stage keeps its own build tree (build-ci-*) so reruns are incremental. All stages run even
# when one fails; the exit status is non-zero if any did.
#
# Environment: QZ_STAGES (default "format release asan tsan fuzz"), QZ_FUZZ_SECONDS (default 60 per target).
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh" || exit 1

jobs="$(nproc)"
stages="${QZ_STAGES:-format release asan tsan fuzz}"
fuzz_seconds="${QZ_FUZZ_SECONDS:-60}"
export QT_QPA_PLATFORM=offscreen
export CTEST_OUTPUT_ON_FAILURE=1

summary=()
failed=0
tests_total=0
tests_failed=0
start_all=$SECONDS

note() { printf '\n== %s\n' "$*"; }
record() {  # stage, status, detail
    summary+=("$(printf '%-8s %-7s %s' "$1" "$2" "$3")")
    [ "$2" = passed ] || failed=1
}

# configure DIR [cmake args...]; quiet unless it fails.
configure() {
    local dir="$1"
    shift
    local log="$dir.configure.log"
    mkdir -p "$dir"
    if ! cmake -S "$root" -B "$dir" -G Ninja "$@" >"$log" 2>&1; then
        cat "$log"
        return 1
    fi
}

# run_ctest STAGE DIR [ctest args...]: runs the tests, adds their counts to the totals.
run_ctest() {
    local stage="$1" dir="$2"
    shift 2
    local log="$dir/ctest.log"
    (cd "$dir" && ctest -j"$jobs" --timeout 600 --output-on-failure "$@") 2>&1 | tee "$log"
    local rc=${PIPESTATUS[0]}
    local line total bad
    line="$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)"
    total="$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")"
    bad="$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")"
    if [ -z "$line" ]; then
        total=0
        bad=0
        rc=1
    fi
    tests_total=$((tests_total + total))
    tests_failed=$((tests_failed + bad))
    local status=passed
    [ "$rc" -eq 0 ] || status=FAILED
    record "$stage" "$status" "$((total - bad))/$total tests passed"
    return "$rc"
}

stage_format() {
    note "format: clang-format --dry-run -Werror"
    local files log="$root/build-ci-format.log"
    mapfile -t files < <(git -C "$root" ls-files -- '*.cpp' '*.h' ':(exclude)fuzz/corpus')
    if [ ${#files[@]} -eq 0 ]; then
        record format FAILED "no files found (not a git checkout?)"
        return
    fi
    if (cd "$root" && clang-format --dry-run -Werror "${files[@]}") >"$log" 2>&1; then
        record format passed "${#files[@]} files match .clang-format"
    else
        local bad
        bad="$(grep -oE '^[^:]+:[0-9]+:[0-9]+: error' "$log" | cut -d: -f1 | sort -u)"
        printf '%s\n' "$bad"
        record format FAILED "$(grep -c . <<<"$bad") of ${#files[@]} files differ (clang-format -i FILE; details in $log)"
    fi
}

stage_release() {
    local dir="$root/build-ci-release"
    note "release: build"
    configure "$dir" -DCMAKE_BUILD_TYPE=Release -DQZ_BENCH=ON &&
        cmake --build "$dir" -j"$jobs" || { record release FAILED "build failed"; return; }
    note "release: tests"
    run_ctest release "$dir"
}

# Sanitizer builds keep line tables (readable reports) without full debug information.
san_flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1" -DQZ_BENCH=OFF)

stage_asan() {
    local dir="$root/build-ci-asan"
    note "asan: build (AddressSanitizer + UndefinedBehaviorSanitizer)"
    configure "$dir" "${san_flags[@]}" "-DQZ_SANITIZE=address;undefined" -DQZ_DESKTOP=ON &&
        cmake --build "$dir" -j"$jobs" || { record asan FAILED "build failed"; return; }
    note "asan: tests"
    ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:check_initialization_order=1" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        run_ctest asan "$dir"
}

# The suites where threads meet: notifications, pools, loads racing readers, renders racing edits,
# scan loads (the DICOM reader forks while the pool runs).
tsan_targets=(test_platform test_data test_transfer test_render test_stress test_io)

stage_tsan() {
    local dir="$root/build-ci-tsan"
    note "tsan: build (ThreadSanitizer)"
    configure "$dir" "${san_flags[@]}" -DQZ_SANITIZE=thread -DQZ_DESKTOP=OFF &&
        cmake --build "$dir" -j"$jobs" --target "${tsan_targets[@]}" || {
        record tsan FAILED "build failed"
        return
    }
    note "tsan: tests"
    # Targets not built in this tree show up as *_NOT_BUILT placeholders; leave them out.
    TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:history_size=4" \
        run_ctest tsan "$dir" -E '_NOT_BUILT'
}

stage_fuzz() {
    local dir="$root/build-ci-fuzz"
    note "fuzz: build (clang, libFuzzer + AddressSanitizer + UndefinedBehaviorSanitizer)"
    CXX=clang++ configure "$dir" -DCMAKE_CXX_COMPILER=clang++ "${san_flags[@]}" -DQZ_FUZZ=ON \
        -DQZ_DESKTOP=OFF -DQZ_TESTS=OFF || { record fuzz FAILED "configure failed"; return; }
    local targets
    mapfile -t targets < <(sed -n 's/^qz_fuzz_target(\([a-z_]*\).*/\1/p' "$root/fuzz/CMakeLists.txt")
    cmake --build "$dir" -j"$jobs" --target "${targets[@]}" || { record fuzz FAILED "build failed"; return; }
    # The targets run side by side, one per core, in as many rounds as it takes.
    local t i
    for ((i = 0; i < ${#targets[@]}; i += jobs)); do
        local batch=("${targets[@]:i:jobs}") pids=()
        note "fuzz: ${batch[*]} for ${fuzz_seconds} s each"
        for t in "${batch[@]}"; do
            local work="$dir/corpus-work/$t" artifacts="$dir/artifacts/$t/"
            mkdir -p "$work" "$artifacts"
            local dict=()
            [ -f "$root/fuzz/$t.dict" ] && dict=(-dict="$root/fuzz/$t.dict")
            # New inputs go to the work corpus; the committed seeds are only read.
            ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
                "$dir/fuzz/$t" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
                -print_final_stats=1 -artifact_prefix="$artifacts" "${dict[@]}" "$work" "$root/fuzz/corpus/$t" \
                >"$dir/$t.log" 2>&1 &
            pids+=($!)
        done
        local k
        for k in "${!batch[@]}"; do
            t="${batch[$k]}"
            wait "${pids[$k]}"
            local rc=$?
            local runs
            runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/$t.log" | tail -1)"
            if [ "$rc" -eq 0 ]; then
                record fuzz passed "$t: ${runs:-?} executions in ${fuzz_seconds} s, no crash, hang or report"
            else
                tail -n 60 "$dir/$t.log"
                record fuzz FAILED "$t: exit $rc after ${runs:-?} executions; inputs in $artifacts"
            fi
        done
    done
}

for s in $stages; do
    t0=$SECONDS
    case "$s" in
    format | release | asan | tsan | fuzz) "stage_$s" ;;
    *)
        echo "test.sh: unknown stage '$s'" >&2
        record "$s" FAILED "unknown stage"
        ;;
    esac
    summary+=("$(printf '%-8s took %d s' "$s" $((SECONDS - t0)))")
done

note "Summary"
printf '%s\n' "${summary[@]}"
printf 'total wall time: %d s\n' $((SECONDS - start_all))
if [ "$tests_total" -gt 0 ]; then
    printf '\n%d%% tests passed, %d tests failed out of %d\n' \
        $(((tests_total - tests_failed) * 100 / tests_total)) "$tests_failed" "$tests_total"
fi
if [ "$failed" -ne 0 ]; then
    echo "test.sh: FAILED"
    exit 1
fi
echo "test.sh: all stages passed"
