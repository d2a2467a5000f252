#!/bin/sh
# Peak memory of the pixsieve command on generated movies, measured with /usr/bin/time -v.
# For each movie: peak RSS over that of a run with no movie ("extra"), next to the
# movie's need, (uncompressed body + largest decoded bitmap). The extra may be at most
# $MAX_RATIO times the need plus $SLACK_KIB of fixed codec state (zlib windows, JPEG
# tables). Then one movie given 40 times in one run: the peak must not grow with the
# number of movies. Exit status 1 when either fails.
#   scripts/measure-memory.sh [BUILD]      (default build/; needs build/make-corpus)
set -u
cd "$(dirname "$0")/.."
BUILD=${1:-build}
MAX_RATIO=${MAX_RATIO:-4}
SLACK_KIB=${SLACK_KIB:-2048}
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
echo "no movie: $baseline KiB"
printf '%-18s %10s %10s %10s %10s %10s %6s\n' movie body_KiB bitmap_KiB need_KiB peak_KiB extra_KiB ratio
while read -r name body bitmap; do
    peak=$(peak_kib "$TOOL" "$work/$name.swf")
    rm -rf "$work/$name.swf_res"
    need=$(( (body + bitmap) / 1024 ))
    extra=$((peak - baseline))
    ratio=$(awk -v e="$extra" -v n="$need" 'BEGIN { printf "%.2f", e / (n > 0 ? n : 1) }')
    printf '%-18s %10d %10d %10d %10d %10d %6s\n' "$name" $((body / 1024)) $((bitmap / 1024)) "$need" "$peak" "$extra" "$ratio"
    if [ "$extra" -gt $((MAX_RATIO * need + SLACK_KIB)) ]; then
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
