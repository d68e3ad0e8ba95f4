#!/usr/bin/env bash
# Times the extraction of a whole tree (-g FOLDER) from an image whose files
# fill 20,000 sectors (200 files of 100 sectors in ten directories) against
# cp of the image, side by side, from the page cache.
#
# The work happens in a tmpfs directory (/dev/shm when there is one).
#   cp side:   cp IMAGE COPY, COPY a fresh file in the same directory
#   -g side:   corvane -g TREE IMAGE > /dev/null, TREE a fresh folder: every
#              sector of every file read, its EDC checked, its data written
# Each side runs RUNS times (default 7), alternating; the medians count.
set -euo pipefail

source "$(dirname "$0")/common.sh" extract-vs-cp bench-extract
runs=${RUNS:-7}
sectors=20000

image=$dir/image.bin
"$mkimage" tree "$sectors" "$image"
# Checked first: every file comes out, with nothing warned of.
"$corvane" -g "$dir/tree" "$image" > "$dir/extract.out" || { echo "extraction failed" >&2; exit 1; }
files=$(grep -c '^Sector .* | Form 1 | ' "$dir/extract.out")

cp_run() { cp "$image" "$dir/copy.bin"; }
extract_run() { "$corvane" -g "$dir/tree" "$image" > /dev/null; }

cat "$image" > /dev/null
cp_all=() extract_all=()
for ((n = 0; n < runs; ++n)); do
    cp_all+=("$(time_us cp_run)")
    rm -rf "$dir/tree"
    extract_all+=("$(time_us extract_run)")
done
read -r cp_us cp_min cp_max <<< "$(stats "${cp_all[@]}")"
read -r ex_us ex_min ex_max <<< "$(stats "${extract_all[@]}")"

echo "Files in $dir ($fs); median of $runs alternating runs (min-max); $(nproc) cores"
awk -v cp="$cp_us" -v ex="$ex_us" -v n="$sectors" -v f="$files" \
    -v cpr="$cp_min-$cp_max" -v exr="$ex_min-$ex_max" 'BEGIN {
    printf "cp image copy            %8.1f ms  %6.3f us/sector  (%s us)\n", cp / 1000, cp / n, cpr
    printf "corvane -g tree image    %8.1f ms  %6.3f us/sector  (%d files, stdout to /dev/null; %s us)\n", ex / 1000, ex / n, f, exr
    printf "ratio -g / cp            %8.2f  (medians; at most 1.5)\n", ex / cp
}'
