#!/bin/bash
# Converts a whole flight as a Slurm job array: array task N converts the
# exposure on line N of MANIFEST (seven paths in cirsharp's order, separated by
# spaces or tabs; relative paths are taken from the submission folder).
#
#   sbatch --array=1-$(wc -l < flight.txt) examples/convert-flight.slurm flight.txt
#   sbatch --array=1-$(wc -l < flight.txt)%20 ... (at most 20 tasks at a time)
#
# Rerun only failed tasks with --array=LIST, e.g. --array=7,12 (see sacct).
# OPTIONs after MANIFEST (such as --envi) are passed to cirsharp; CIRSHARP
# names the converter (default: cirsharp on PATH).
#SBATCH --job-name=cirsharp
#SBATCH --cpus-per-task=4
#SBATCH --mem=1500M
#SBATCH --time=00:15:00
#SBATCH --output=cirsharp-%A_%a.out
set -euo pipefail
manifest=${1:?usage: sbatch --array=1-N convert-flight.slurm MANIFEST [OPTION...]}
shift
task=${SLURM_ARRAY_TASK_ID:?run as a Slurm array job (sbatch --array=...)}
line=$(sed -n "${task}p" "$manifest")
read -r -a paths <<<"$line"
if [ "${#paths[@]}" -ne 7 ]; then
    echo "convert-flight: line $task of $manifest has ${#paths[@]} paths, not 7" >&2
    exit 2
fi
exec "${CIRSHARP:-cirsharp}" --threads "${SLURM_CPUS_PER_TASK:-1}" "$@" "${paths[@]}"
