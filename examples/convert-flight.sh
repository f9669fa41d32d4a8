#!/usr/bin/env bash
# Converts a whole flight with GNU parallel: one cirsharp run per exposure, one
# exposure per CPU, each run single-threaded. Every line of MANIFEST names one
# exposure's seven paths in cirsharp's order, separated by spaces or tabs
# (so paths cannot contain them):
#
#   COLOUR PANTILES RGBIR16 CIR8 PAN8 SHARPENED PAN16
#
# Blank lines and lines starting with # are skipped; the last line counts with
# or without a newline. Each exposure's output folders are created before its
# run.
#
# usage: examples/convert-flight.sh [--record] [--thumbnail WIDTH] MANIFEST
#                                   [JOBLOG [OPTION...]]
#
# JOBLOG (default MANIFEST.joblog) records every run's exit status. Run the
# same command again after a failure: exposures that succeeded are skipped,
# failed ones and ones never started are run. Keep MANIFEST unchanged between
# such calls, since the log refers to the exposures' order; delete JOBLOG to
# start afresh. OPTIONs (such as --envi) are passed to every run.
#
# --record     writes cirsharp's run record (--record) of each exposure to
#              record.json in the folder of its first product that is a file.
# --thumbnail  writes a small PNG of each exposure's sharpened product, WIDTH
#              pixels across at most, to sharpened-cir8.png beside it
#              (cirsharp-quicklook, found beside CIRSHARP or on PATH, or named
#              by CIRSHARP_QUICKLOOK).
#
# Environment: CIRSHARP, the converter (default: cirsharp on PATH); JOBS,
# runs at a time (default: one per CPU). The runs' progress lines go to
# standard output, grouped by run; a progress bar goes to standard error when
# it is a terminal. The exit status is the number of failed runs (at most
# 101), 0 when all succeeded.
set -euo pipefail

say() { echo "convert-flight: $*" >&2; }
usage() {
    say "usage: convert-flight.sh [--record] [--thumbnail WIDTH] MANIFEST [JOBLOG [OPTION...]]"
    exit 255
}

# One exposure, as run by parallel: convert-flight.sh --exposure RECORD
# THUMBNAIL LINE [OPTION...], RECORD 0 or 1, THUMBNAIL the width or 0.
if [ "${1:-}" = --exposure ]; then
    record=$2 thumbnail=$3
    read -r -a paths <<<"$4"
    shift 4
    if [ "${#paths[@]}" -ne 7 ]; then
        say "${#paths[@]} paths, not 7: ${paths[*]}"
        exit 2
    fi
    record_args=()
    for p in "${paths[@]:2}"; do
        # A product's folder is made unless the product is a device or the like.
        [ -e "$p" ] && [ ! -f "$p" ] && continue
        dir=$(dirname -- "$p")
        mkdir -p -- "$dir"
        if [ "$record" = 1 ] && [ ${#record_args[@]} -eq 0 ]; then
            record_args=(--record "$dir/record.json")
        fi
    done
    converter=${CIRSHARP:-cirsharp}
    status=0
    "$converter" --threads 1 "${record_args[@]}" "$@" "${paths[@]}" || status=$?
    if [ "$status" -eq 0 ] && [ "$thumbnail" != 0 ] && [ -f "${paths[5]}" ]; then
        quicklook=${CIRSHARP_QUICKLOOK:-cirsharp-quicklook}
        if [ -z "${CIRSHARP_QUICKLOOK:-}" ] && [[ $converter == */* ]] &&
            [ -x "${converter%/*}/cirsharp-quicklook" ]; then
            quicklook=${converter%/*}/cirsharp-quicklook
        fi
        "$quicklook" --max-width "$thumbnail" --output "$(dirname -- "${paths[5]}")" \
            --sharpened-cir8 "${paths[5]}" || status=1
    fi
    exit "$status"
fi

record=0 thumbnail=0
while [ $# -gt 0 ]; do
    case $1 in
    --record) record=1; shift ;;
    --thumbnail)
        [ $# -ge 2 ] && [[ $2 =~ ^[1-9][0-9]*$ ]] || { say "--thumbnail takes a positive width"; usage; }
        thumbnail=$2
        shift 2
        ;;
    --) shift; break ;;
    -*) say "unknown option '$1'"; usage ;;
    *) break ;;
    esac
done
[ $# -ge 1 ] || usage
manifest=$1
joblog=${2:-$manifest.joblog}
shift $(($# < 2 ? $# : 2))
[ -r "$manifest" ] || { say "cannot read the manifest $manifest"; exit 255; }

bar=()
[ -t 2 ] && bar=(--bar)
self=$(cd "$(dirname -- "$0")" && pwd)/$(basename -- "$0")
# The exposures, as parallel's input: every line that is neither blank nor a
# comment (grep also ends an unterminated last line).
exec parallel --quote --jobs "${JOBS:-100%}" --joblog "$joblog" --resume-failed "${bar[@]}" \
    "$self" --exposure "$record" "$thumbnail" {} "$@" \
    :::: <(grep -Ev '^[[:space:]]*(#|$)' "$manifest" || true)
