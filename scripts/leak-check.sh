#!/bin/sh
# One valgrind run of the pixsieve command over the sample movie and generated movies
# of every container; fails on any leak or memory error.
#   scripts/leak-check.sh [BUILD]      (default build/; needs build/make-corpus)
set -u
cd "$(dirname "$0")/.."
BUILD=${1:-build}
work=$(mktemp -d /tmp/pixsieve-leaks-XXXXXX)
trap 'rm -rf "$work"' EXIT

command -v valgrind >/dev/null || { echo "leak-check: valgrind is missing (scripts/install-deps.sh check)" >&2; exit 1; }
cp samples/*.swf "$work/" && cp fuzz/corpus/swf_extract_fuzz/*.swf "$work/" || exit 1
valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible \
    --error-exitcode=1 --log-file="$work/valgrind.txt" "$BUILD/pixsieve" "$work"/*.swf >"$work/out.txt" 2>"$work/err.txt"
rc=$?
# The tool's own exit status is 0 here; valgrind turns any finding into 1 and writes it to
# its log (the tool's summary line goes to standard error, apart from it).
if [ $rc -ne 0 ] || [ -s "$work/valgrind.txt" ]; then
    cat "$work/valgrind.txt" >&2
    echo "leak-check: FAILED (status $rc)" >&2
    exit 1
fi
echo "leak-check: $(ls "$work"/*.swf | wc -l) movies, no leaks or memory errors"
