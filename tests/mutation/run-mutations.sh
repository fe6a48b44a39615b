#!/bin/bash
# Mutation testing: applies each mutation of mutations.txt in turn to a source tree, rebuilds,
# runs the tests that can see the mutated file, and records which tests failed. Not part of CI.
#
# Usage: tests/mutation/run-mutations.sh [-s SRC] [-b BUILD] [-o RESULTS] [-t SECONDS] [ID...]
#   -s SRC      source tree to mutate (default: the repository holding this script)
#   -b BUILD    its configured build folder (default: SRC/build); must have been built once
#   -o RESULTS  results file (default: BUILD/mutation-results.tsv); RESULTS.md gets the summary
#   -t SECONDS  ctest timeout for tests without their own (default: 60)
#   ID...       only these mutations (default: all)
# Example, on a separate checkout so that nobody's work tree changes under them:
#   git worktree add /tmp/mut HEAD && cmake -S /tmp/mut -B /tmp/mut/build -G Ninja &&
#   cmake --build /tmp/mut/build && tests/mutation/run-mutations.sh -s /tmp/mut -b /tmp/mut/build
# Every mutated file is restored on exit, Ctrl+C included, and checked against its checksum.
# Logs of every build and test run are kept in BUILD/mutation-logs/.
set -u

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build="" results="" timeout=60
while getopts "s:b:o:t:h" opt; do
    case $opt in
    s) src=$(cd "$OPTARG" && pwd) || exit 2 ;;
    b) build=$OPTARG ;;
    o) results=$OPTARG ;;
    t) timeout=$OPTARG ;;
    *) sed -n '5,10s/^# \{0,1\}//p' "$0"; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
build=$(cd "${build:-$src/build}" && pwd) || exit 2
results=${results:-$build/mutation-results.tsv}
logs=$build/mutation-logs
mutate() { python3 "$here/mutate.py" "$@"; }
mkdir -p "$logs"

mutations=$(mutate list "$here/mutations.txt" "$@") || exit 2
mutate names "$build" >"$results.tests" || exit 2

# The file under mutation, its pristine copy and checksum; restore() puts it back.
target="" backup=$(mktemp) sum=""
restore() {
    [ -n "$target" ] || return 0
    if [ "$(sha256sum <"$target")" != "$sum" ]; then
        cat "$backup" >"$target" # rewrites in place, with a new time stamp for the next build
    fi
    if [ "$(sha256sum <"$target")" != "$sum" ]; then
        echo "run-mutations: could not restore $target (pristine copy: $backup)" >&2
        exit 1
    fi
    target=""
}
trap 'restore && rm -f "$backup"' EXIT
trap 'exit 130' INT TERM

echo "mutating $src, building in $build" >&2
printf 'id\tfile\tstatus\tkillers\tflaky\tgroups\tseconds\n' >"$results"
while IFS=$'\t' read -r id file groups <&3; do
    started=$SECONDS
    target=$src/$file
    cp "$target" "$backup" && sum=$(sha256sum <"$target") || exit 1
    killers=- flaky=-
    if ! mutate apply "$here/mutations.txt" "$id" "$src" >"$logs/$id.apply.log"; then
        status=does-not-apply
    elif ! nice -n 10 cmake --build "$build" -j2 >"$logs/$id.build.log" 2>&1; then
        status=build-error
    else
        numbers=$(mutate tests "$build" $groups) || exit 1
        nice -n 10 ctest --test-dir "$build" -j2 --timeout "$timeout" --output-on-failure \
            -I "$numbers" >"$logs/$id.ctest.log" 2>&1
        # A test that fails under a mutation is run once more; only one that fails again
        # kills it (a timeout counts at once). One that passes then is noted as flaky.
        rerun=$(mutate rerun "$logs/$id.ctest.log")
        rm -f "$logs/$id.rerun.log"
        if [ -n "$rerun" ]; then
            nice -n 10 ctest --test-dir "$build" -j2 --timeout "$timeout" --output-on-failure \
                -I "$rerun" >"$logs/$id.rerun.log" 2>&1
        fi
        { read -r killers; read -r flaky; } < <(mutate failed "$logs/$id.ctest.log" \
            ${rerun:+"$logs/$id.rerun.log"})
        if [ "$killers" != - ]; then
            status=killed
        elif [ "$flaky" != - ] || grep -q "100% tests passed" "$logs/$id.ctest.log"; then
            status=survived
        else
            echo "run-mutations: $id: ctest gave no verdict, see $logs/$id.ctest.log" >&2
            exit 1
        fi
    fi
    restore
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$id" "$file" "$status" "$killers" "$flaky" \
        "${groups// /,}" $((SECONDS - started)) >>"$results"
    [ "$flaky" = - ] && note="" || note=" (flaky: $flaky)"
    printf '%-34s %-15s %s%s\n' "$id" "$status" "$killers" "$note" >&2
done 3<<<"$mutations"

# Leave the build folder matching the restored sources.
nice -n 10 cmake --build "$build" -j2 >"$logs/final.build.log" 2>&1 ||
    echo "run-mutations: the final build failed, see $logs/final.build.log" >&2
{
    echo "Mutations of the tree at $(git -C "$src" rev-parse --short HEAD), $(date -u '+%Y-%m-%d %H:%M UTC')."
    echo
    mutate report "$results" "$results.tests"
} >"${results%.tsv}.md"
echo "results: $results, summary: ${results%.tsv}.md" >&2
