#!/usr/bin/env bash
# Runs the test suite under the sanitizers, each in a build folder of its own:
#   asan  build-asan: AddressSanitizer + UBSan, the whole suite (GUI included);
#   tsan  build-tsan: ThreadSanitizer, the worker, marlinox-cli and window end-to-end tests;
#   fuzz  build-fuzz: each libFuzzer target for a fixed number of runs from the seeds.
# Usage: tests/run-sanitizers.sh [asan] [tsan] [fuzz]   (all three when none is named)
# Every report is written into build-*/sanitizer-reports/; the script fails when a test fails
# or when any report was written, even by a child process whose exit status a test accepted.
set -euo pipefail
cd "$(dirname "$0")/.."

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(asan tsan fuzz)
jobs=${JOBS:-2}
fuzz_runs=${FUZZ_RUNS:-20000}
# Warnings are errors in the normal build; under the sanitizers' instrumentation GCC's flow
# analysis reports uninitialised values inside the standard library that are not there.
werror=OFF
failed=0

# Fails when the report folder holds anything, and shows what it holds.
check_reports() {
    local dir=$1
    if compgen -G "$dir/*" >/dev/null; then
        echo "sanitizer reports in $dir:" >&2
        for f in "$dir"/*; do
            echo "== $f" >&2
            head -n 60 "$f" >&2
        done
        failed=1
    fi
}

# Folder for reports, emptied; prints its path.
report_dir() {
    rm -rf "$1/sanitizer-reports"
    mkdir -p "$1/sanitizer-reports"
    echo "$(pwd)/$1/sanitizer-reports"
}

stage_start() {
    echo "=== $1: $(date +%T)"
    SECONDS=0
}

stage_end() { echo "=== $1 took $((SECONDS / 60)) min $((SECONDS % 60)) s"; }

for stage in "${stages[@]}"; do
    case "$stage" in
    asan)
        stage_start asan
        cmake -S . -B build-asan -G Ninja -DMARLINOX_SANITIZE=address -DMARLINOX_WERROR=$werror
        cmake --build build-asan -j"$jobs"
        reports=$(report_dir build-asan)
        # The same options reach every child process. A child's report may end it with a status
        # its test accepts (1); the report file still fails the run. No abort_on_error: Qt
        # Test's crash handler can hang on SIGABRT while other threads hold locks.
        export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:log_path=$reports/asan"
        export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
        ctest --test-dir build-asan --output-on-failure -j"$jobs" || failed=1
        unset ASAN_OPTIONS UBSAN_OPTIONS
        check_reports "$reports"
        stage_end asan
        ;;
    tsan)
        stage_start tsan
        cmake -S . -B build-tsan -G Ninja -DMARLINOX_SANITIZE=thread -DMARLINOX_WERROR=$werror
        cmake --build build-tsan -j"$jobs"
        reports=$(report_dir build-tsan)
        export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan"
        # The worker and marlinox-cli, without any suppression.
        ctest --test-dir build-tsan --output-on-failure -j"$jobs" \
            -R 'CaptureTest|CliTest|CliLiveTest|FaultTest|SecurityTest' || failed=1
        # The window's end-to-end tests (matched by name; none found is not an error). Qt is
        # not built with ThreadSanitizer: its own locking is invisible, so its threads' copies
        # are reported as races; tests/tsan-qt.supp says why each entry is there.
        TSAN_OPTIONS="$TSAN_OPTIONS:suppressions=$(pwd)/tests/tsan-qt.supp" \
            ctest --test-dir build-tsan --output-on-failure -j"$jobs" \
            -R '^app_tests\.' || failed=1
        unset TSAN_OPTIONS
        check_reports "$reports"
        stage_end tsan
        ;;
    fuzz)
        stage_start fuzz
        CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DMARLINOX_FUZZ=ON \
            -DMARLINOX_GUI=OFF -DMARLINOX_WERROR=$werror
        cmake --build build-fuzz -j"$jobs" --target fuzz_tcpstream fuzz_capture fuzz_seeds
        corpus=build-fuzz/corpus
        rm -rf "$corpus"
        mkdir -p "$corpus/streams" "$corpus/captures"
        build-fuzz/tests/fuzz/fuzz_seeds "$corpus/streams" "$corpus/captures"
        export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1"
        export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
        # -seed fixes the inputs, so that a finding in CI can be run again.
        build-fuzz/tests/fuzz/fuzz_tcpstream -runs="$fuzz_runs" -seed=1 -max_len=4096 \
            -artifact_prefix=build-fuzz/ "$corpus/streams" || failed=1
        build-fuzz/tests/fuzz/fuzz_capture -runs="$fuzz_runs" -seed=1 -max_len=4096 \
            -artifact_prefix=build-fuzz/ "$corpus/captures" || failed=1
        unset ASAN_OPTIONS UBSAN_OPTIONS
        stage_end fuzz
        ;;
    *)
        echo "usage: $0 [asan] [tsan] [fuzz]" >&2
        exit 2
        ;;
    esac
done

if [ "$failed" -ne 0 ]; then
    echo "sanitizer run FAILED" >&2
    exit 1
fi
echo "sanitizer run passed"
