#!/usr/bin/env bash
# The apply run (-a) of xdelta (VCDIFF) files over a disc of SECTORS sectors
# (default 330,000, about 780 MB), against cp of the image, with xdelta3 -d's
# own time on the same patch beside it, all from the page cache. Needs about
# six times the image's size in the scratch folder.
#
# The disc is an ISO 9660 image from genisoimage made raw by `mkimage wrap`:
# A_BIG.DAT of 40 MB first, then filler files of random bytes up to the size.
#   none:   A_BIG.DAT's 40 MB rewritten in place (-n) with new bytes (base64
#           text of random bytes, which LZMA packs to about three quarters),
#           the patch made by xdelta3 -e -S none;
#   lzma:   the same change, made by xdelta3 -e -S lzma;
#   moved:  A_BIG.DAT grown by 4 KB, so -s --relocate moves it to the
#           volume's end, some 700 MB from where it was; the patch made by
#           corvane -m --xdelta.
# Each row times, in turn, RUNS times (default 5) alternating: cp of the
# image, dd of the patched image (bs=8M: its bytes read into memory and
# written out, as any applier must, with nothing between; cp copies inside
# the kernel), corvane -a PATCH IMAGE OUTPUT and xdelta3 -d -s IMAGE PATCH
# OUTPUT; the medians count. Each output is compared once with the modified image.
# Peak memory of both comes from /usr/bin/time, where there is one.
set -euo pipefail

source "$(dirname "$0")/common.sh" apply-xdelta-vs-cp bench-apply-xdelta
command -v xdelta3 >/dev/null && command -v genisoimage >/dev/null ||
    { echo "needs xdelta3 and genisoimage" >&2; exit 1; }
runs=${RUNS:-5}
sectors=${SECTORS:-330000}
big=$((40 * 1024 * 1024))

bench_disc
size=$(stat -c %s "$dir/pristine.bin")
echo "Image: $((size / 2352)) sectors, $size bytes; files in $dir ($fs); median of $runs alternating runs"

# The modified images and their patches.
head -c $((big / 4 * 3)) /dev/urandom | base64 -w 0 > "$dir/new_big.dat"
cp "$dir/pristine.bin" "$dir/in_place.bin"
"$corvane" -q -n 'A_BIG.DAT;1' "$dir/new_big.dat" "$dir/in_place.bin" > /dev/null
xdelta3 -e -f -S none -s "$dir/pristine.bin" "$dir/in_place.bin" "$dir/none.vcdiff"
xdelta3 -e -f -S lzma -s "$dir/pristine.bin" "$dir/in_place.bin" "$dir/lzma.vcdiff"
xdelta3 printhdrs "$dir/lzma.vcdiff" | grep VCD_DATACOMP > /dev/null ||
    { echo "the -S lzma patch has no compressed data section" >&2; exit 1; }
cp "$tree/A_BIG.DAT" "$dir/grown.dat"
head -c 4096 /dev/urandom >> "$dir/grown.dat"
cp "$dir/pristine.bin" "$dir/moved.bin"
"$corvane" -q -s --relocate -n 'A_BIG.DAT;1' "$dir/grown.dat" "$dir/moved.bin" > /dev/null
"$corvane" -q -m --xdelta "$dir/moved.vcdiff" "$dir/pristine.bin" "$dir/moved.bin" > /dev/null
rm -r "$tree" "$dir/new_big.dat" "$dir/grown.dat"

# time_of COMMAND...: microseconds COMMAND took, with $dir/out.bin and
# $dir/copy.bin removed first.
time_of() {
    local t0 t1
    rm -f "$dir/out.bin" "$dir/copy.bin"
    t0=$(now_us); "$@" > /dev/null 2>&1; t1=$(now_us); echo $((t1 - t0))
}
ours() { "$corvane" -q -a "$1" "$dir/pristine.bin" "$dir/out.bin"; }
theirs() { xdelta3 -d -f -s "$dir/pristine.bin" "$1" "$dir/out.bin"; }
secs() { bc -l <<< "$1 / 1000000"; }

# row NAME PATCH MODIFIED
row() {
    local name=$1 patch=$dir/$2 modified=$dir/$3
    local cp_all=() dd_all=() ours_all=() theirs_all=()
    for ((n = 0; n < runs; ++n)); do
        cp_all+=("$(time_of cp "$dir/pristine.bin" "$dir/copy.bin")")
        dd_all+=("$(time_of dd if="$modified" of="$dir/copy.bin" bs=8M)")
        ours_all+=("$(time_of ours "$patch")")
        theirs_all+=("$(time_of theirs "$patch")")
    done
    rm -f "$dir/out.bin"
    ours "$patch" > /dev/null && cmp -s "$dir/out.bin" "$modified" ||
        { echo "$name: corvane -a does not make the modified image" >&2; exit 1; }
    rm -f "$dir/out.bin"
    theirs "$patch" && cmp -s "$dir/out.bin" "$modified" ||
        { echo "$name: xdelta3 -d does not make the modified image" >&2; exit 1; }
    local cp_us dd_us ours_us theirs_us ours_peak theirs_peak
    cp_us=$(median "${cp_all[@]}")
    dd_us=$(median "${dd_all[@]}")
    ours_us=$(median "${ours_all[@]}")
    theirs_us=$(median "${theirs_all[@]}")
    rm -f "$dir/out.bin"
    ours_peak=$(peak_of "$corvane" -q -a "$patch" "$dir/pristine.bin" "$dir/out.bin")
    rm -f "$dir/out.bin"
    theirs_peak=$(peak_of xdelta3 -d -f -s "$dir/pristine.bin" "$patch" "$dir/out.bin")
    printf '%-27s %10d bytes | cp %5.2f s | dd %5.2f s (%4.2fx) | ours %5.2f s (%4.2fx cp), peak %s | xdelta3 -d %5.2f s (%4.2fx cp), peak %s\n' \
        "$name" "$(stat -c %s "$patch")" "$(secs "$cp_us")" "$(secs "$dd_us")" "$(bc -l <<< "$dd_us / $cp_us")" "$(secs "$ours_us")" "$(bc -l <<< "$ours_us / $cp_us")" \
        "$ours_peak" "$(secs "$theirs_us")" "$(bc -l <<< "$theirs_us / $cp_us")" "$theirs_peak"
}

row "40 MB changed, -S none" none.vcdiff in_place.bin
row "40 MB changed, -S lzma" lzma.vcdiff in_place.bin
row "40 MB moved, corvane -m" moved.vcdiff moved.bin
echo "Targets: <= 1.3x cp (none), <= 1.6x cp (lzma), <= 1.3x cp (moved); peak <= 128 MB."
