#!/usr/bin/env bash
# Times applying a PPF 3.0 file that rewrites the bytes of 20,000 sectors
# against cp of the same image, side by side, both from the page cache.
#
# The work happens in a tmpfs directory (/dev/shm when there is one).
#   cp side:      cp IMAGE COPY, COPY a fresh file in the same directory.
#   corvane side: corvane -a FIX.PPF IMAGE > /dev/null. The PPF file is what
#                 a dry patch run makes of random data over sectors 17 to
#                 20,016 of a 20,017-sector blank image: every byte of those
#                 sectors but their 24 bytes of sync, header and subheader
#                 changes, some 180,000 records. Sector 16, which the block
#                 check reads, stays as it is, so the same file applies to
#                 the image again and again.
# Each side runs RUNS times (default 7), alternating; the medians count.
set -euo pipefail

source "$(dirname "$0")/common.sh" apply-vs-cp bench-apply
runs=${RUNS:-7}
sectors=20000

image=$dir/image.bin
"$mkimage" blank $((sectors + 17)) "$image"
head -c $((sectors * 2048)) /dev/urandom > "$dir/patch.bin"
"$corvane" -x -P "$dir/fix.ppf" -o $((17 * 2352)) "$dir/patch.bin" "$image" > /dev/null
"$corvane" -a "$dir/fix.ppf" "$image" > "$dir/first.out"
tail -n 1 "$dir/first.out" | grep -qx 'All done.' || { echo "apply run failed" >&2; exit 1; }
head -n -1 "$dir/first.out" | grep '^PPF'
cat "$image" "$dir/fix.ppf" > /dev/null

apply_run() { "$corvane" -a "$dir/fix.ppf" "$image" > /dev/null; }
cp_run() { cp "$image" "$dir/copy.bin"; }

cp_all=() apply_all=()
for ((n = 0; n < runs; ++n)); do
    cp_all+=("$(time_us cp_run)")
    apply_all+=("$(time_us apply_run)")
done
read -r cp_us cp_min cp_max <<< "$(stats "${cp_all[@]}")"
read -r ap_us ap_min ap_max <<< "$(stats "${apply_all[@]}")"
echo "Files in $dir ($(stat -f -c %T "$dir")); median of $runs alternating runs (min-max); load: $(cut -d " " -f 1-3 /proc/loadavg)"
awk -v cp="$cp_us" -v ap="$ap_us" -v n="$sectors" -v cpr="$cp_min-$cp_max" -v apr="$ap_min-$ap_max" 'BEGIN {
    printf "cp image copy           %8.1f ms  %6.3f us/sector  (%s us)\n", cp / 1000, cp / (n + 17), cpr
    printf "corvane -a fix.ppf      %8.1f ms  %6.3f us/sector  (%d sectors rewritten; %s us)\n", ap / 1000, ap / n, n, apr
    printf "ratio corvane / cp      %8.2f  (medians; target 1.6 or less)\n", ap / cp
}'
