#!/usr/bin/env bash
# Times a check run (-c) over a 20,000-sector image against cat of the same
# image, and a repairing run (-c -w) over that image with every EDC zeroed
# against cp of it, side by side, all from the page cache.
#
# The work happens in a tmpfs directory (/dev/shm when there is one): every
# file lives in the page cache, so no side touches a disk and the fsync the
# repairing run does before its summary costs nothing.
#   cat side:     cat IMAGE > /dev/null (reading only)
#   -c side:      corvane -c IMAGE > /dev/null; every sector is read and judged
#                 (user data random but for sector 0, all sectors good)
#   cp side:      cp IMAGE COPY, COPY a fresh file in the same directory
#   -c -w side:   corvane -c -w DAMAGED > /dev/null, DAMAGED a fresh copy (made
#                 untimed) of IMAGE with bytes 2072..2075 of every sector zeroed:
#                 every sector with data is reported and rewritten in place
# Each side runs RUNS times (default 7), alternating; the medians count.
set -euo pipefail

source "$(dirname "$0")/common.sh" scan-vs-cat bench-scan
runs=${RUNS:-7}
sectors=20000

image=$dir/image.bin
damaged=$dir/damaged.bin
work=$dir/work.bin
"$mkimage" blank "$sectors" "$image"
head -c $(((sectors - 1) * 2048)) /dev/urandom > "$dir/patch.bin"
"$corvane" -o 2352 "$dir/patch.bin" "$image" > /dev/null
cp "$image" "$damaged"
perl -e 'open(my $f, "+<", $ARGV[0]) or die "$!\n"; binmode $f;
         for my $s (0 .. $ARGV[1] - 1) { seek($f, $s * 2352 + 2072, 0); print $f "\0" x 4 }
         close($f) or die "$!\n"' "$damaged" "$sectors"

# Checked runs first: the image is all good, and the repair gives it back.
"$corvane" -c "$image" > "$dir/check.out" || { echo "check run failed" >&2; exit 1; }
cp "$damaged" "$work"
"$corvane" -c -w "$work" > "$dir/repair.out" || { echo "repairing run failed" >&2; exit 1; }
cmp -s "$work" "$image" || { echo "the repaired image is not the original" >&2; exit 1; }
repaired=$(grep -c -- ' -- repaired$' "$dir/repair.out")


cat_run() { cat "$image" > /dev/null; }
check_run() { "$corvane" -c "$image" > /dev/null; }
cp_run() { cp "$image" "$dir/copy.bin"; }
repair_run() { "$corvane" -c -w "$work" > /dev/null; }

# The sides alternate, run by run, so a slow patch of the machine hits all four.
cat "$image" "$damaged" > /dev/null
cat_all=() check_all=() cp_all=() repair_all=()
for ((n = 0; n < runs; ++n)); do
    cat_all+=("$(time_us cat_run)")
    check_all+=("$(time_us check_run)")
    rm -f "$dir/copy.bin"
    cp_all+=("$(time_us cp_run)")
    cp "$damaged" "$work"
    repair_all+=("$(time_us repair_run)")
done
read -r cat_us cat_min cat_max <<< "$(stats "${cat_all[@]}")"
read -r check_us check_min check_max <<< "$(stats "${check_all[@]}")"
read -r cp_us cp_min cp_max <<< "$(stats "${cp_all[@]}")"
read -r repair_us repair_min repair_max <<< "$(stats "${repair_all[@]}")"

if [[ $fs == tmpfs ]]; then
    echo "Files in $dir (tmpfs: page cache only, the tool's fsync costs nothing); median of $runs alternating runs (min-max)"
else
    echo "Files in $dir ($fs, not tmpfs: the tool's fsync may wait for the disk); median of $runs alternating runs (min-max)"
fi
echo "$(nproc) cores"
awk -v ca="$cat_us" -v ch="$check_us" -v cp="$cp_us" -v rp="$repair_us" -v n="$sectors" -v k="$repaired" \
    -v car="$cat_min-$cat_max" -v chr="$check_min-$check_max" -v cpr="$cp_min-$cp_max" -v rpr="$repair_min-$repair_max" 'BEGIN {
    printf "cat image > /dev/null    %8.1f ms  %6.3f us/sector  (%d sectors; %s us)\n", ca / 1000, ca / n, n, car
    printf "corvane -c               %8.1f ms  %6.3f us/sector  (every sector good, stdout to /dev/null; %s us)\n", ch / 1000, ch / n, chr
    printf "cp image copy            %8.1f ms  %6.3f us/sector  (%s us)\n", cp / 1000, cp / n, cpr
    printf "corvane -c -w            %8.1f ms  %6.3f us/sector  (%d sectors repaired, stdout to /dev/null; %s us)\n", rp / 1000, rp / n, k, rpr
    printf "ratio -c / cat           %8.2f  (medians; at most 2.0)\n", ch / ca
    printf "ratio -c -w / cp         %8.2f  (medians; at most 2.5)\n", rp / cp
}'
