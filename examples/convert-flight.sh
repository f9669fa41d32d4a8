#!/usr/bin/env bash
# The earlier GNU parallel recipe, kept for scripts that call it: a thin
# wrapper over `cirsharp-flight run`, which checks the whole manifest first,
# always writes each exposure's run record and ends with one summary line.
#
# usage: examples/convert-flight.sh [--record] [--thumbnail WIDTH] MANIFEST
#                                   [JOBLOG [OPTION...]]
#
# is `cirsharp-flight run [--thumbnail WIDTH] [--joblog JOBLOG] MANIFEST --
# OPTION...` (--record is accepted and always in force). cirsharp-flight is
# taken from beside CIRSHARP when that names a path, else from PATH; JOBS
# sets --jobs. See `man cirsharp-flight`.
set -euo pipefail

say() { echo "convert-flight: $*" >&2; }
args=()
while [ $# -gt 0 ]; do
    case $1 in
    --record) shift ;;
    --thumbnail)
        [ $# -ge 2 ] || { say "--thumbnail takes a width"; exit 2; }
        args+=(--thumbnail "$2")
        shift 2
        ;;
    --) shift; break ;;
    -*) say "unknown option '$1'"; exit 2 ;;
    *) break ;;
    esac
done
[ $# -ge 1 ] || { say "usage: convert-flight.sh [--record] [--thumbnail WIDTH] MANIFEST [JOBLOG [OPTION...]]"; exit 2; }
manifest=$1
shift
if [ $# -ge 1 ]; then
    args+=("--joblog=$1")
    shift
fi
[ -n "${JOBS:-}" ] && args+=(--jobs "$JOBS")
flight=cirsharp-flight
if [[ ${CIRSHARP:-} == */* ]] && [ -x "${CIRSHARP%/*}/cirsharp-flight" ]; then
    flight=${CIRSHARP%/*}/cirsharp-flight
fi
exec "$flight" run "${args[@]}" "$manifest" -- "$@"
