#!/bin/bash
# Converts a whole flight as a Slurm job array. Each array task converts a
# contiguous slice of the manifest, one exposure after the other, so a flight
# of any length fits in a few hundred tasks (a default Slurm takes array
# indices up to 1000, MaxArraySize 1001):
#
#   sbatch --array="$(examples/convert-flight.slurm --tasks flight.txt)" \
#       --cpus-per-task=2 --mem=600M examples/convert-flight.slurm flight.txt --io direct
#
# The manifest names one exposure a line: its seven paths in cirsharp's order,
# separated by spaces or tabs; blank lines and lines starting with # are
# skipped, and the last line counts with or without a newline. Relative paths
# are taken from the submission folder. Each exposure's output folders are
# created before its run.
#
# usage: convert-flight.slurm --tasks [--per-task N] MANIFEST
#        sbatch --array=... convert-flight.slurm [--per-task N] [--record]
#               [--thumbnail WIDTH] MANIFEST [OPTION...]
#
# --tasks     (outside Slurm) prints the --array value for MANIFEST: at most
#             200 tasks, and fewer than this cluster's MaxArraySize.
# --per-task  exposures per task. Default: the manifest's exposures divided
#             by the array's size, rounded up (which needs an array 1-K).
#             Every task's log starts with the value in force: resubmit
#             failed tasks with it (--array=7,12 ... --per-task 25).
# --record    writes cirsharp's run record (--record) of each exposure to
#             record.json in the folder of its first product that is a file.
# --thumbnail writes a small PNG of each exposure's sharpened product,
#             WIDTH pixels across at most, to sharpened-cir8.png beside it
#             (cirsharp-quicklook, found beside CIRSHARP or on PATH, or named
#             by CIRSHARP_QUICKLOOK).
# OPTIONs after MANIFEST (such as --envi) are passed to every cirsharp run;
# CIRSHARP names the converter (default: cirsharp on PATH). Each run uses
# --threads "$SLURM_CPUS_PER_TASK".
#
# Each task's log (cirsharp-JOB_TASK.out) ends with "convert-flight: task N
# done" when all its exposures converted, and with "convert-flight: task N
# failed: ..." listing the failed exposures otherwise (status 1); a task that
# was cancelled, timed out or killed has neither line. Neither needs an
# accounting database: see the README's "Converting a whole flight" for the
# commands that list and resubmit the tasks that did not finish.
#SBATCH --job-name=cirsharp
#SBATCH --cpus-per-task=2
#SBATCH --mem=1500M
#SBATCH --time=01:00:00
#SBATCH --output=cirsharp-%A_%a.out
set -euo pipefail

say() { echo "convert-flight: $*" >&2; }
usage() {
    say "usage: sbatch --array=... convert-flight.slurm [--per-task N] [--record] [--thumbnail WIDTH] MANIFEST [OPTION...]"
    say "       convert-flight.slurm --tasks [--per-task N] MANIFEST"
    exit 2
}
positive() { [[ $1 =~ ^[1-9][0-9]*$ ]] || { say "$2 takes a positive number, not '$1'"; exit 2; }; }

plan=0 per_task="" record=0 thumbnail=""
while [ $# -gt 0 ]; do
    case $1 in
    --tasks) plan=1; shift ;;
    --per-task) [ $# -ge 2 ] || usage; positive "$2" --per-task; per_task=$2; shift 2 ;;
    --record) record=1; shift ;;
    --thumbnail) [ $# -ge 2 ] || usage; positive "$2" --thumbnail; thumbnail=$2; shift 2 ;;
    --) shift; break ;;
    -*) say "unknown option '$1'"; usage ;;
    *) break ;;
    esac
done
[ $# -ge 1 ] || usage
manifest=$1
shift
[ -r "$manifest" ] || { say "cannot read the manifest $manifest"; exit 2; }

# The exposures: every line that is neither blank nor a comment.
mapfile -t exposures < <(grep -Ev '^[[:space:]]*(#|$)' "$manifest" || true)
count=${#exposures[@]}

if [ "$plan" = 1 ]; then
    [ "$count" -gt 0 ] || { say "$manifest lists no exposure"; exit 2; }
    # This cluster's limit; a default Slurm's where scontrol cannot tell.
    max_array=$({ timeout 30 scontrol show config 2>/dev/null || true; } |
        sed -n 's/^MaxArraySize[[:space:]]*=[[:space:]]*\([0-9]*\).*/\1/p')
    limit=$((${max_array:-1001} - 1))
    [ "$limit" -gt 200 ] && limit=200
    [ "$limit" -ge 1 ] || { say "this cluster takes no job arrays (MaxArraySize ${max_array})"; exit 2; }
    if [ -z "$per_task" ]; then
        per_task=$(((count + limit - 1) / limit))
    fi
    tasks=$(((count + per_task - 1) / per_task))
    [ "$tasks" -le "$limit" ] || { say "$tasks tasks of $per_task exceed this cluster's limit of $limit"; exit 2; }
    say "$count exposures: $tasks tasks of at most $per_task"
    echo "1-$tasks"
    exit 0
fi

task=${SLURM_ARRAY_TASK_ID:?run as a Slurm array job (sbatch --array=...)}
if [ -z "$per_task" ]; then
    # Derived from the array, which must then be the whole of 1-K.
    size=${SLURM_ARRAY_TASK_COUNT:-}
    if [ -z "$size" ] || [ "${SLURM_ARRAY_TASK_MIN:-}" != 1 ] || [ "${SLURM_ARRAY_TASK_MAX:-}" != "$size" ]; then
        say "task $task: the array is not 1-K, so the exposures per task cannot be derived: give --per-task N (the value in the first line of the first submission's task logs)"
        exit 2
    fi
    per_task=$(((count + size - 1) / size))
    [ "$per_task" -ge 1 ] || per_task=1
fi
first=$(((task - 1) * per_task + 1))
last=$((task * per_task))
[ "$last" -le "$count" ] || last=$count
if [ "$first" -gt "$count" ]; then
    say "task $task: exposures $first to $((task * per_task)) of $count: none to convert (--per-task $per_task)"
    say "task $task done"
    exit 0
fi
say "task $task: exposures $first to $last of $count in $manifest (--per-task $per_task)"

converter=${CIRSHARP:-cirsharp}
quicklook=${CIRSHARP_QUICKLOOK:-}
if [ -n "$thumbnail" ] && [ -z "$quicklook" ]; then
    quicklook=cirsharp-quicklook
    [[ $converter == */* ]] && [ -x "${converter%/*}/cirsharp-quicklook" ] &&
        quicklook=${converter%/*}/cirsharp-quicklook
fi

# Converts one exposure (the seven paths as arguments); its status.
convert() {
    local paths=("$@") p dir record_args=()
    for p in "${paths[@]:2}"; do
        # A product's folder is made unless the product is a device or the like.
        [ -e "$p" ] && [ ! -f "$p" ] && continue
        dir=$(dirname -- "$p")
        mkdir -p -- "$dir" || return 1
        if [ "$record" = 1 ] && [ ${#record_args[@]} -eq 0 ]; then
            record_args=(--record "$dir/record.json")
        fi
    done
    local status=0
    "$converter" --threads "${SLURM_CPUS_PER_TASK:-1}" "${record_args[@]}" "${options[@]}" \
        "${paths[@]}" || status=$?
    if [ "$status" -eq 0 ] && [ -n "$thumbnail" ] && [ -f "${paths[5]}" ]; then
        "$quicklook" --max-width "$thumbnail" --output "$(dirname -- "${paths[5]}")" \
            --sharpened-cir8 "${paths[5]}" || status=1
    fi
    return "$status"
}

options=("$@")
failed=()
for ((i = first; i <= last; i++)); do
    read -r -a paths <<<"${exposures[i - 1]}"
    if [ "${#paths[@]}" -ne 7 ]; then
        say "exposure $i has ${#paths[@]} paths, not 7: ${exposures[i - 1]}"
        failed+=("$i")
        continue
    fi
    say "exposure $i: ${paths[*]}"
    status=0
    convert "${paths[@]}" || status=$?
    if [ "$status" -ne 0 ]; then
        say "exposure $i failed with status $status"
        failed+=("$i")
    fi
done
if [ ${#failed[@]} -gt 0 ]; then
    say "task $task failed: exposures ${failed[*]} (${#failed[@]} of $((last - first + 1)))"
    exit 1
fi
say "task $task done"
