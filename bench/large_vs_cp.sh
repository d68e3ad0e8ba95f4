#!/usr/bin/env bash
# The large-image rows: a patch run and an applier run over an image of
# 330,000 sectors (about 780 MB), each against cp of the same image, side by
# side, all from the page cache. Needs about 2.4 GB in the scratch folder.
#
# The work happens in a tmpfs directory (/dev/shm when there is one).
#   cp side:      cp IMAGE COPY, COPY a fresh file in the same directory.
#   patch side:   corvane -o 2352 PATCH IMAGE > /dev/null, PATCH 660,000,000
#                 random bytes (sectors 1 to 322,266): more than the run
#                 holds in memory, so the patch and the window are streamed.
#                 Its peak memory (maximum resident set) is taken from a run
#                 under /usr/bin/time, where there is one.
#   apply side:   corvane -a SPARSE.PPF IMAGE > /dev/null, SPARSE.PPF a PPF
#                 3.0 file (no block check, no undo data) whose records
#                 rewrite the 2048 bytes of user data of every 10th sector.
# Each side runs RUNS times (default 7), alternating; the medians count.
set -euo pipefail

source "$(dirname "$0")/common.sh" large-vs-cp bench
runs=${RUNS:-7}
sectors=330000
patch_bytes=660000000

image=$dir/image.bin
patch=$dir/patch.bin
sparse=$dir/sparse.ppf
"$mkimage" blank "$sectors" "$image"
head -c "$patch_bytes" /dev/urandom > "$patch"
perl -e '
    my ($sectors, $out) = @ARGV;
    open(my $rnd, "<", "/dev/urandom") or die "$!\n";
    open(my $f, ">", $out) or die "$!\n";
    binmode $f;
    print $f "PPF30", chr(2), " " x 50, chr(0) x 4;
    for (my $s = 0; $s < $sectors; $s += 10) {
        my $at = $s * 2352 + 24;
        for (my $left = 2048; $left > 0; $left -= 255) {
            my $n = $left < 255 ? $left : 255;
            read($rnd, my $data, $n) == $n or die "short read\n";
            print $f pack("VVC", $at % 4294967296, int($at / 4294967296), $n), $data;
            $at += $n;
        }
    }
    close($f) or die "$!\n";' "$sectors" "$sparse"

# Checked runs first: each must reach "All done.".
"$corvane" -o 2352 "$patch" "$image" > "$dir/patch.out"
tail -n 1 "$dir/patch.out" | grep -qx 'All done.' || { echo "patch run failed" >&2; exit 1; }
"$corvane" -a "$sparse" "$image" > "$dir/apply.out"
tail -n 1 "$dir/apply.out" | grep -qx 'All done.' || { echo "apply run failed" >&2; exit 1; }
grep '^PPF' "$dir/apply.out"

peak=unmeasured
if [[ -x /usr/bin/time ]]; then
    peak_kb=$( { /usr/bin/time -f '%M' "$corvane" -o 2352 "$patch" "$image" > /dev/null; } 2>&1 | tail -n 1)
    peak="$((peak_kb / 1024)) MiB"
fi
cat "$image" "$patch" "$sparse" > /dev/null

cp_run() { cp "$image" "$dir/copy.bin"; }
patch_run() { "$corvane" -o 2352 "$patch" "$image" > /dev/null; }
apply_run() { "$corvane" -a "$sparse" "$image" > /dev/null; }

cp_all=() patch_all=() apply_all=()
for ((n = 0; n < runs; ++n)); do
    cp_all+=("$(time_us cp_run)")
    patch_all+=("$(time_us patch_run)")
    apply_all+=("$(time_us apply_run)")
done
rm -f "$dir/copy.bin"
read -r cp_us cp_min cp_max <<< "$(stats "${cp_all[@]}")"
read -r pt_us pt_min pt_max <<< "$(stats "${patch_all[@]}")"
read -r ap_us ap_min ap_max <<< "$(stats "${apply_all[@]}")"

echo "Files in $dir ($fs); median of $runs alternating runs (min-max); load: $(cut -d ' ' -f 1-3 /proc/loadavg 2>/dev/null || echo unknown)"
awk -v cp="$cp_us" -v pt="$pt_us" -v ap="$ap_us" -v n="$sectors" -v peak="$peak" \
    -v cpr="$cp_min-$cp_max" -v ptr="$pt_min-$pt_max" -v apr="$ap_min-$ap_max" 'BEGIN {
    printf "cp image copy            %8.1f ms  %6.3f us/sector  (%d sectors; %s us)\n", cp / 1000, cp / n, n, cpr
    printf "corvane -o 2352 patch    %8.1f ms  %6.3f us/sector  (660,000,000-byte patch; peak memory %s; %s us)\n", pt / 1000, pt / n, peak, ptr
    printf "corvane -a sparse.ppf    %8.1f ms  %6.3f us/sector  (every 10th sector rewritten; %s us)\n", ap / 1000, ap / n, apr
    printf "ratio patch / cp         %8.2f  (medians; target 1.8 or less, peak memory 400 MB or less)\n", pt / cp
    printf "ratio apply / cp         %8.2f  (medians; target 1.2 or less)\n", ap / cp
}'
