#!/usr/bin/env bash
# Builds variants of marlinox-cli for the comparisons of compare-cli.sh: the committed tree
# (HEAD) is checked out into a scratch worktree, each variant's change is made there, the CLI
# is built (niced) and copied to DEST/NAME/marlinox-cli; the worktree is removed at the end.
# Nothing in the product is changed.
#
#   bench/cli-variants.sh [--dest DIR] VARIANT...
#
# Variants:
#   head                  HEAD as it is (a baseline built the same way as the others)
#   no-index              bench/no-index.patch applied: no rows appended to the index files
#   run=SIZE,budget=SIZE  CFileCache::kRunBytes and kRunBudget set to these sizes (a number
#                         with K or M), named runSIZE-budgetSIZE, e.g. run16K-budget8M
# Prints the path of each CLI built.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

DEST=$BENCH_REPO/build-bench/variants

usage()
{
    sed -n '2,15s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"
}

VARIANTS=()
while [[ $# -gt 0 ]]; do
    case $1 in
    --dest) DEST=$(realpath -m "$2"); shift 2 ;;
    -h | --help) usage; exit 0 ;;
    -*) usage >&2; exit 2 ;;
    *) VARIANTS+=("$1"); shift ;;
    esac
done
[[ ${#VARIANTS[@]} -gt 0 ]] || { usage >&2; exit 2; }

SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/marlinox-variants.XXXXXX")
TREE=$SCRATCH/tree
cleanup()
{
    git -C "$BENCH_REPO" worktree remove --force "$TREE" 2>/dev/null || true
    rm -rf "$SCRATCH"
}
trap cleanup EXIT
git -C "$BENCH_REPO" worktree add --detach "$TREE" HEAD >/dev/null 2>&1

# bytes SIZE: 16K -> 16384, 8M -> 8388608.
bytes()
{
    local n=${1%[KkMm]}
    case $1 in
    *[Kk]) echo $((n * 1024)) ;;
    *[Mm]) echo $((n * 1024 * 1024)) ;;
    *) echo "$n" ;;
    esac
}

# change VARIANT: makes the variant's change in the scratch tree; sets NAME.
change()
{
    git -C "$TREE" checkout --quiet -- .
    case $1 in
    head) NAME=head ;;
    no-index)
        NAME=no-index
        git -C "$TREE" apply "$BENCH_REPO/bench/no-index.patch"
        ;;
    run=*,budget=*)
        local run=${1#run=} budget=${1#*budget=}
        run=${run%%,*}
        NAME=run$run-budget$budget
        sed -i -E "s/(kRunBytes = )[^;]*;/\1$(bytes "$run");/; s/(kRunBudget = )[^;]*;/\1$(bytes "$budget");/" \
            "$TREE/capture/FileCache.h"
        grep -q "kRunBytes = $(bytes "$run");" "$TREE/capture/FileCache.h"
        ;;
    *) echo "unknown variant $1" >&2; exit 2 ;;
    esac
}

cmake -S "$TREE" -B "$SCRATCH/build" -G Ninja -DBUILD_TESTING=OFF -DMARLINOX_GUI=OFF >/dev/null
for v in "${VARIANTS[@]}"; do
    change "$v"
    if ! nice cmake --build "$SCRATCH/build" -j2 --target marlinox-cli >"$SCRATCH/build.log" 2>&1; then
        cat "$SCRATCH/build.log" >&2
        exit 1
    fi
    mkdir -p "$DEST/$NAME"
    cp "$SCRATCH/build/cli/marlinox-cli" "$DEST/$NAME/marlinox-cli"
    echo "$DEST/$NAME/marlinox-cli"
done
