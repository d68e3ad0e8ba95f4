#!/usr/bin/env bash
# The make run (-m) over a disc of SECTORS sectors (default 330,000, about
# 780 MB), against cmp and xdelta3 on the same pair of images, all from the
# page cache. Needs about six times the image's size in the scratch folder.
#
# The disc is an ISO 9660 image from genisoimage made raw by `mkimage wrap`:
# A_BIG.DAT of 40 MB first, then filler files of random bytes up to the size.
#   in place:  40 MB of new random bytes written over A_BIG.DAT (-n).
#   moved:     A_BIG.DAT grown by 4 KB, so -s --relocate moves it to the
#              volume's end, some 700 MB from where it was.
#   rebuilt:   the tree made anew by genisoimage with a 20 KB file in front,
#              which shifts every later file by 10 sectors.
# Each row times, in turn, RUNS times (default 3) alternating: cmp of the
# pristine image against a copy of itself (both read whole), corvane -m, and
# xdelta3 as the row says; the medians count. Each patch of ours is decoded
# by xdelta3 once and compared with the modified image. Peak memory of our
# run is taken from /usr/bin/time, where there is one.
set -euo pipefail

source "$(dirname "$0")/common.sh" make-vs-cmp bench-make
command -v xdelta3 >/dev/null && command -v genisoimage >/dev/null ||
    { echo "needs xdelta3 and genisoimage" >&2; exit 1; }
runs=${RUNS:-3}
sectors=${SECTORS:-330000}
big=$((40 * 1024 * 1024))

bench_disc
cp "$dir/pristine.bin" "$dir/copy.bin"
size=$(stat -c %s "$dir/pristine.bin")
echo "Image: $((size / 2352)) sectors, $size bytes; files in $dir ($fs); median of $runs alternating runs"

# The modified images.
head -c "$big" /dev/urandom > "$dir/new_big.dat"
cp "$dir/pristine.bin" "$dir/in_place.bin"
"$corvane" -q -n 'A_BIG.DAT;1' "$dir/new_big.dat" "$dir/in_place.bin" > /dev/null
cp "$tree/A_BIG.DAT" "$dir/grown.dat"
head -c 4096 /dev/urandom >> "$dir/grown.dat"
cp "$dir/pristine.bin" "$dir/moved.bin"
"$corvane" -q -s --relocate -n 'A_BIG.DAT;1' "$dir/grown.dat" "$dir/moved.bin" > /dev/null
head -c 20480 /dev/urandom > "$tree/A_A.DAT"
genisoimage -quiet -V BENCH -o "$dir/rebuilt.iso" "$tree"
"$mkimage" wrap "$dir/rebuilt.iso" "$dir/rebuilt.bin"
rm -r "$dir/rebuilt.iso" "$tree" "$dir/new_big.dat" "$dir/grown.dat"

time_of() { local t0 t1; t0=$(now_us); "$@" > /dev/null 2>&1; t1=$(now_us); echo $((t1 - t0)); }

# row NAME MODIFIED FORMAT [XDELTA3-OPTIONS...]: cmp, ours (FORMAT -P or
# --xdelta) and, given "default" or options, xdelta3 so, alternating.
row() {
    local name=$1 modified=$dir/$2 format=$3 ours=$dir/ours.patch theirs=$dir/theirs.vcdiff
    shift 3
    local label="$*"
    [[ ${1:-} == default ]] && set -- -f  # -f again: no option of its own
    local cmp_all=() ours_all=() theirs_all=()
    for ((n = 0; n < runs; ++n)); do
        cmp_all+=("$(time_of cmp "$dir/pristine.bin" "$dir/copy.bin")")
        rm -f "$ours"
        ours_all+=("$(time_of "$corvane" -q -m "$format" "$ours" "$dir/pristine.bin" "$modified")")
        if [[ $# -gt 0 ]]; then
            rm -f "$theirs"
            theirs_all+=("$(time_of xdelta3 -e -f "$@" -s "$dir/pristine.bin" "$modified" "$theirs")")
        fi
    done
    if [[ $format == --xdelta ]]; then
        xdelta3 -d -f -s "$dir/pristine.bin" "$ours" "$dir/decoded.bin" && cmp -s "$dir/decoded.bin" "$modified" ||
            { echo "$name: xdelta3 does not decode our patch to the modified image" >&2; exit 1; }
        rm -f "$dir/decoded.bin"
    fi
    local cmp_us ours_us peak
    cmp_us=$(median "${cmp_all[@]}")
    ours_us=$(median "${ours_all[@]}")
    peak=$(peak_of "$corvane" -q -m "$format" "$ours" "$dir/pristine.bin" "$modified")
    printf '%-31s cmp %5.2f s | ours %6.2f s (%5.2fx cmp) %10d bytes, peak %s' "$name" \
        "$(bc -l <<< "$cmp_us / 1000000")" "$(bc -l <<< "$ours_us / 1000000")" "$(bc -l <<< "$ours_us / $cmp_us")" \
        "$(stat -c %s "$ours")" "$peak"
    if [[ $# -gt 0 ]]; then
        local theirs_us
        theirs_us=$(median "${theirs_all[@]}")
        printf ' | xdelta3 %s: %6.2f s %10d bytes (ours %.3fx its size, %.2fx its time)' "$label" \
            "$(bc -l <<< "$theirs_us / 1000000")" "$(stat -c %s "$theirs")" \
            "$(bc -l <<< "$(stat -c %s "$ours") / $(stat -c %s "$theirs")")" "$(bc -l <<< "$ours_us / $theirs_us")"
    fi
    echo
}

row "in place, PPF 3.0" in_place.bin -P
row "in place, xdelta" in_place.bin --xdelta -9 -S none
row "moved to the end, xdelta" moved.bin --xdelta default
row "moved to the end, xdelta (-B)" moved.bin --xdelta -9 -S none -B "$size"
row "rebuilt, shifted, xdelta" rebuilt.bin --xdelta -9
row "rebuilt, shifted, xdelta (default)" rebuilt.bin --xdelta default
echo "Targets: PPF <= 1.3x cmp; in-place xdelta <= 1.5x cmp and <= 1.02x xdelta3 -9 -S none's size;"
echo "moved: <= 0.05x xdelta3 default's size, <= 1.0x the -B run's size, <= 0.5x its time;"
echo "rebuilt: size <= xdelta3 -9's, time <= 0.2x xdelta3 default's; peak <= 64 MB + 16 bytes a sector."
