#!/bin/sh
# Peak memory of the pixsieve command on generated movies, measured with /usr/bin/time -v.
# For each movie: peak RSS next to (uncompressed body + largest decoded bitmap), and their
# ratio. Then the same movies given many times in one run: the peak must not grow with
# the number of movies. Exit status 1 when it does, or when a ratio passes $MAX_RATIO.
#   scripts/measure-memory.sh [BUILD]      (default build/; needs build/make-corpus)
set -u
cd "$(dirname "$0")/.."
BUILD=${1:-build}
MAX_RATIO=${MAX_RATIO:-4}
TOOL="$BUILD/pixsieve"
work=$(mktemp -d /tmp/pixsieve-measure-XXXXXX)
trap 'rm -rf "$work"' EXIT

[ -x /usr/bin/time ] || { echo "measure-memory: /usr/bin/time is missing (Debian package: time)" >&2; exit 1; }
"$BUILD/make-corpus" --measure "$work" || exit 1

# Peak resident set of one run, in KiB.
peak_kib() {
    /usr/bin/time -v "$@" >/dev/null 2>"$work/time.txt"
    awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print $2}' "$work/time.txt"
}

status=0
baseline=$(peak_kib "$TOOL" "$work/none.swf")
printf '%-18s %12s %12s %12s %7s\n' movie body_KiB bitmap_KiB peak_KiB ratio
while read -r name body bitmap; do
    peak=$(peak_kib "$TOOL" "$work/$name.swf")
    rm -rf "$work/$name.swf_res"
    # What the movie may need, over what the program needs with no movie at all.
    need=$(( (body + bitmap) / 1024 ))
    ratio=$(awk -v p="$peak" -v b="$baseline" -v n="$need" 'BEGIN { printf "%.2f", (p - b) / (n > 0 ? n : 1) }')
    printf '%-18s %12d %12d %12d %7s\n' "$name" $((body / 1024)) $((bitmap / 1024)) "$peak" "$ratio"
    if awk -v r="$ratio" -v m="$MAX_RATIO" 'BEGIN { exit !(r > m) }'; then
        echo "measure-memory: $name needs more than $MAX_RATIO x its body and largest bitmap" >&2
        status=1
    fi
done < "$work/manifest"

# Many movies in one run: the peak is that of the largest single movie, not a sum.
set -- 
for i in $(seq 1 40); do
    cp "$work/all-bitmaps.swf" "$work/copy$i.swf"
    set -- "$@" "$work/copy$i.swf"
done
one=$(peak_kib "$TOOL" "$work/copy1.swf")
many=$(peak_kib "$TOOL" "$@")
echo "one movie: $one KiB   40 movies in one run: $many KiB"
if [ "$many" -gt $((one + one / 10 + 1024)) ]; then
    echo "measure-memory: peak memory grows with the number of movies" >&2
    status=1
fi
exit $status
