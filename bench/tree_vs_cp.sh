#!/usr/bin/env bash
# Putting back a whole tree (-s --tree) on a disc of SECTORS sectors (default
# 330,000, about 780 MB) holding 2,000 files, against cat, all from the page
# cache. Needs about three times the image's size in the scratch folder.
#
# The disc is an ISO 9660 image from genisoimage made raw by `mkimage wrap`;
# its tree is extracted with -g, as a translator would, and then:
#   unchanged: the tree as extracted, put back: nothing is written.
#   changed:   50 files changed: 40 rewritten with new random bytes of the
#              same size, 5 shrunk to 2 KB, and 5 (100 KB on the disc) grown
#              by 64 KB, past their neighbours, so that --relocate moves them
#              into the room the shrunk ones left.
# Each row times, in turn, RUNS times (default 3) alternating: cat of the
# image (and, for the changed tree, cat of the 50 changed host files), cat of
# the image and the whole tree (what any run that compares every file must
# read), and corvane on a fresh copy of the image (the copy is not timed); the
# medians count. Peak memory of our run is taken from /usr/bin/time, where there is one.
set -euo pipefail

source "$(dirname "$0")/common.sh" tree-vs-cp bench-tree
command -v genisoimage >/dev/null || { echo "needs genisoimage" >&2; exit 1; }
runs=${RUNS:-3}
sectors=${SECTORS:-330000}
files=2000

# The disc: 2,000 files of random bytes filling it, the five to grow made 100 KB.
src=$dir/src
mkdir "$src"
each=$(((sectors * 2048 - 2 * 1024 * 1024) / files))
head -c $((each * files)) /dev/urandom | split -b "$each" -d -a 4 --additional-suffix=.DAT - "$src/F"
grown=(F0100 F0500 F0900 F1300 F1700)
shrunk=(F0200 F0600 F1000 F1400 F1800)
for f in "${grown[@]}"; do truncate -s 100K "$src/$f.DAT"; done
genisoimage -quiet -V BENCH -o "$dir/disc.iso" "$src"
rm -r "$src"
"$mkimage" wrap "$dir/disc.iso" "$dir/pristine.bin"
rm "$dir/disc.iso"
"$corvane" -q -g "$dir/tree" "$dir/pristine.bin" > /dev/null
size=$(stat -c %s "$dir/pristine.bin")
echo "Image: $((size / 2352)) sectors, $size bytes, $files files of $each bytes; files in $dir ($fs); median of $runs alternating runs"

time_of() { local t0 t1; t0=$(now_us); "$@" > /dev/null 2>&1; t1=$(now_us); echo $((t1 - t0)); }
cat_of() { cat "$@" > /dev/null; }
# ours ARGS...: corvane -q -s --tree ARGS on a fresh copy of the image.
ours() { "$corvane" -q -s --tree "$@" "$dir/tree" "$dir/work.bin"; }

# row NAME CHANGED-FILES ARGS...: cat of the image and the changed files, and ours.
row() {
    local name=$1 changed=$2 cat_all=() all_all=() ours_all=() largest=0 f
    shift 2
    local list=()
    for f in $changed; do list+=("$dir/tree/$f.DAT"); done
    for ((n = 0; n < runs; ++n)); do
        cat_all+=("$(time_of cat_of "$dir/pristine.bin" "${list[@]}")")
        all_all+=("$(time_of cat_of "$dir/pristine.bin" "$dir"/tree/*)")
        cp "$dir/pristine.bin" "$dir/work.bin"
        ours_all+=("$(time_of ours "$@")")
    done
    "$corvane" -q -c "$dir/work.bin" > /dev/null || { echo "$name: the image does not check good" >&2; exit 1; }
    for f in "${list[@]}"; do ((largest = $(stat -c %s "$f") > largest ? $(stat -c %s "$f") : largest)); done
    cp "$dir/pristine.bin" "$dir/work.bin"
    local cat_us all_us ours_us peak
    cat_us=$(median "${cat_all[@]}")
    all_us=$(median "${all_all[@]}")
    ours_us=$(median "${ours_all[@]}")
    peak=$(peak_of "$corvane" -q -s --tree "$@" "$dir/tree" "$dir/work.bin")
    printf '%-24s cat %5.2f s | cat with the tree %5.2f s | ours %5.2f s (%4.2fx cat, %4.2fx cat with the tree), peak %s (largest changed file %d KB)\n' \
        "$name" "$(bc -l <<< "$cat_us / 1000000")" "$(bc -l <<< "$all_us / 1000000")" "$(bc -l <<< "$ours_us / 1000000")" \
        "$(bc -l <<< "$ours_us / $cat_us")" "$(bc -l <<< "$ours_us / $all_us")" "$peak" $((largest / 1024))
}

row "unchanged" ""
# The changes.
rewritten=()
for ((n = 0; n < 40; ++n)); do rewritten+=("$(printf 'F%04d' $((n * 47 + 3)))"); done
for f in "${rewritten[@]}"; do head -c "$each" /dev/urandom > "$dir/tree/$f.DAT"; done
for f in "${shrunk[@]}"; do head -c 2048 /dev/urandom > "$dir/tree/$f.DAT"; done
for f in "${grown[@]}"; do head -c 65536 /dev/urandom >> "$dir/tree/$f.DAT"; done
row "50 changed, --relocate" "${rewritten[*]} ${shrunk[*]} ${grown[*]}" --relocate
echo "Targets: unchanged <= 1.2x cat of the image; changed <= 1.5x cat of the image and the changed files;"
echo "peak <= 64 MB + the largest changed file."
