#!/usr/bin/env bash
# Converts a whole flight with GNU parallel: one cirsharp run per exposure, one
# exposure per CPU, each run single-threaded. Every line of MANIFEST names one
# exposure's seven paths in cirsharp's order, separated by spaces or tabs
# (so paths cannot contain them):
#
#   COLOUR PANTILES RGBIR16 CIR8 PAN8 SHARPENED PAN16
#
# usage: examples/convert-flight.sh MANIFEST [JOBLOG [OPTION...]]
#
# JOBLOG (default MANIFEST.joblog) records every run's exit status. Run the
# same command again after a failure: exposures that succeeded are skipped,
# failed ones and ones never started are run. Keep MANIFEST unchanged between
# such calls, since the log refers to its line numbers; delete JOBLOG to start
# afresh. OPTIONs (such as --envi) are passed to every run.
#
# Environment: CIRSHARP, the converter (default: cirsharp on PATH); JOBS,
# runs at a time (default: one per CPU). The runs' progress lines go to
# standard output, grouped by run; the progress bar goes to standard error.
# The exit status is the number of failed runs (at most 101), 0 when all
# succeeded.
set -euo pipefail
manifest=${1:?usage: convert-flight.sh MANIFEST [JOBLOG [OPTION...]]}
joblog=${2:-$manifest.joblog}
shift $(($# < 2 ? $# : 2))
exec parallel --jobs "${JOBS:-100%}" --joblog "$joblog" --resume-failed --bar \
    --colsep '[ \t]+' \
    "${CIRSHARP:-cirsharp}" --threads 1 "$@" {1} {2} {3} {4} {5} {6} {7} :::: "$manifest"
