#!/usr/bin/env bash
# Times a patch run over every sector of a 20,000-sector image against cp of
# the same image, side by side, both from the page cache.
#
# The work happens in a tmpfs directory (/dev/shm when there is one): every
# file lives in the page cache, so neither side touches a disk and the fsync
# the tool does before "All done." costs nothing.
#   cp side:      cp IMAGE COPY, COPY a fresh file in the same directory
#                 (a full read and write of the image, like the patch run).
#   corvane side: corvane -o 2352 PATCH IMAGE > /dev/null, the patch covering
#                 sectors 1 to 20,000 of a 20,001-sector image (-o takes no
#                 zero offset, so sector 0 is the margin). The image is
#                 rewritten in place.
# Each side runs RUNS times (default 7), alternating; the medians count.
set -euo pipefail

source "$(dirname "$0")/common.sh" patch-vs-cp bench-patch
runs=${RUNS:-7}
sectors=20000

image=$dir/image.bin
patch=$dir/patch.bin
"$mkimage" blank $((sectors + 1)) "$image"
head -c $((sectors * 2048)) /dev/urandom > "$patch"

# One checked run first: it must succeed and reach "All done.".
"$corvane" -o 2352 "$patch" "$image" > "$dir/first.out"
tail -n 1 "$dir/first.out" | grep -qx 'All done.' || { echo "patch run failed" >&2; exit 1; }

# Warm the page cache.
cat "$image" "$patch" > /dev/null



patch_run() { "$corvane" -o 2352 "$patch" "$image" > /dev/null; }
cp_run() { cp "$image" "$dir/copy.bin"; }
read_run() { cat "$image" > /dev/null; }

# The sides alternate, run by run, so a slow patch of the machine hits both.
cp_all=() patch_all=() read_all=()
for ((n = 0; n < runs; ++n)); do
    cp_all+=("$(time_us cp_run)")
    patch_all+=("$(time_us patch_run)")
    read_all+=("$(time_us read_run)")
done
read -r cp_us cp_min cp_max <<< "$(stats "${cp_all[@]}")"
read -r patch_us patch_min patch_max <<< "$(stats "${patch_all[@]}")"
read -r read_us read_min read_max <<< "$(stats "${read_all[@]}")"

if [[ $fs == tmpfs ]]; then
    echo "Files in $dir (tmpfs: page cache only, the tool's fsync costs nothing); median of $runs alternating runs (min-max); load: $(cut -d " " -f 1-3 /proc/loadavg)"
else
    echo "Files in $dir ($fs, not tmpfs: the tool's fsync may wait for the disk); median of $runs alternating runs (min-max); load: $(cut -d " " -f 1-3 /proc/loadavg)"
fi
awk -v cp="$cp_us" -v pt="$patch_us" -v rd="$read_us" -v n="$sectors" \
    -v cpr="$cp_min-$cp_max" -v ptr="$patch_min-$patch_max" -v rdr="$read_min-$read_max" 'BEGIN {
    printf "cp image copy           %8.1f ms  %6.3f us/sector  (%d sectors; %s us)\n", cp / 1000, cp / (n + 1), n + 1, cpr
    printf "corvane -o 2352 patch   %8.1f ms  %6.3f us/sector  (%d sectors patched, stdout to /dev/null; %s us)\n", pt / 1000, pt / n, n, ptr
    printf "cat image > /dev/null   %8.1f ms  %6.3f us/sector  (reading only, for scale; %s us)\n", rd / 1000, rd / (n + 1), rdr
    printf "ratio corvane / cp      %8.2f  (medians; target 1.6 or less)\n", pt / cp
}'
