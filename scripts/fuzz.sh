#!/bin/sh
# Runs the libFuzzer targets built in $FUZZ_BUILD (see `make fuzz`).
#   scripts/fuzz.sh run SECONDS [TARGET...]   fuzz each target for SECONDS, then report
#   scripts/fuzz.sh replay [TARGET...]        run the seed corpora and regression inputs once
# Targets are named without the _fuzz suffix (swf_extract, png_read, ...); default all.
# New inputs go to $FUZZ_BUILD/corpus/<target>, crashes to $FUZZ_BUILD/artifacts/<target>-*.
# Exit status 1 when any target failed.
set -u
cd "$(dirname "$0")/.."
FUZZ_BUILD=${FUZZ_BUILD:-build-fuzz}
ALL="swf_extract swf_edit png_read jpeg_decode image_decode charset text_coders"

mode=${1:-}
case "$mode" in
run) seconds=${2:?seconds}; shift 2 ;;
replay) shift ;;
*) echo "usage: $0 run SECONDS [TARGET...] | replay [TARGET...]" >&2; exit 2 ;;
esac
targets=${*:-$ALL}

# Longest generated input per target: movies need room, texts do not.
max_len() {
    case "$1" in
    swf_*) echo 16384 ;;
    png_read | jpeg_decode | image_decode) echo 8192 ;;
    *) echo 1024 ;;
    esac
}

failed=0
mkdir -p "$FUZZ_BUILD/artifacts"
for t in $targets; do
    bin="$FUZZ_BUILD/fuzz/${t}_fuzz"
    [ -x "$bin" ] || { echo "fuzz: $bin not built" >&2; failed=1; continue; }
    seeds="fuzz/corpus/${t}_fuzz"
    regressions="tests/regressions/${t}_fuzz"
    dirs="$seeds"
    [ -d "$regressions" ] && dirs="$dirs $regressions"
    log="$FUZZ_BUILD/artifacts/$t.log"
    if [ "$mode" = replay ]; then
        # -runs=0 executes every given input once and nothing more.
        "$bin" -runs=0 -timeout=10 -rss_limit_mb=2560 $dirs >"$log" 2>&1
    else
        work="$FUZZ_BUILD/corpus/$t"
        mkdir -p "$work"
        "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2560 -max_len="$(max_len "$t")" \
            -print_final_stats=1 -artifact_prefix="$FUZZ_BUILD/artifacts/$t-" "$work" $dirs >"$log" 2>&1
    fi
    rc=$?
    # The last status line carries coverage (cov: edges, ft: features) and the corpus size.
    status=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
    execs=$(grep -E 'stat::number_of_executed_units' "$log" | awk '{print $2}')
    if [ $rc -eq 0 ]; then
        echo "fuzz: $t ok   execs ${execs:-?}   ${status:-}"
    else
        echo "fuzz: $t FAILED (status $rc), see $log"
        grep -E 'ERROR|SUMMARY|Test unit written' "$log" | head -n 5
        failed=1
    fi
done
exit $failed
