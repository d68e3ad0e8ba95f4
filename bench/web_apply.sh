#!/usr/bin/env bash
# Times the patcher page (build/web) in headless Chromium against the native
# -a on the same machine: a generated image of about 780 MB and a PPF 3.0
# file that rewrites a 40 MB file of it, applied into a new file by both.
# The page is served by a static host on this machine (so its result goes to
# the origin private file system); its apply time is the one it shows, and
# its peak memory the largest resident size of the browser's renderer (the
# page and its worker) sampled while it runs, whole and without the pages
# of the browser's program mapped from its files. The browser runs with a
# profile of its own in the scratch folder, as a player's does.
#   page side:    pick the patch and the image, apply (and check: timed apart)
#   native side:  corvane -a FIX.PPF IMAGE OUT.BIN > /dev/null
# Each side runs RUNS times (default 3); the medians count.
set -euo pipefail

source "$(dirname "$0")/common.sh" web-apply bench-web
runs=${RUNS:-3}
sectors=331600       # 780 MB of 2352-byte sectors
big=$((40 << 20))    # the file the patch rewrites
bench_disc
rm -rf "$tree"
cp "$dir/pristine.bin" "$dir/patched.bin"
head -c "$big" /dev/urandom > "$dir/new.dat"
"$corvane" -q -s -n 'A_BIG.DAT;1' "$dir/new.dat" "$dir/patched.bin" > /dev/null
"$corvane" -q -m -P "$dir/fix.ppf" "$dir/pristine.bin" "$dir/patched.bin" > /dev/null
rm "$dir/patched.bin" "$dir/new.dat"
echo "Image: $(stat -c %s "$dir/pristine.bin") bytes; PPF 3.0 file: $(stat -c %s "$dir/fix.ppf") bytes"

native_run() { rm -f "$dir/out.bin"; "$corvane" -a "$dir/fix.ppf" "$dir/pristine.bin" "$dir/out.bin" > /dev/null; }
native_all=()
for ((n = 0; n < runs; ++n)); do native_all+=("$(time_us native_run)"); done
rm -f "$dir/out.bin"
read -r na_us na_min na_max <<< "$(stats "${native_all[@]}")"

NODE_PATH=$root/build/web-node/node_modules node "$root/bench/web_apply.js" "$root/build/web" \
    "$dir/fix.ppf" "$dir/pristine.bin" "$runs" > "$dir/page.txt"
read -r pg_ms pg_min pg_max check_ms peak_mb own_mb heap_mb floor_read floor_write <<< "$(tail -n 1 "$dir/page.txt")"
echo "Files in $dir ($fs); median of $runs runs (min-max); load: $(cut -d " " -f 1-3 /proc/loadavg)"
awk -v na="$na_us" -v nar="$na_min-$na_max" -v pg="$pg_ms" -v pgr="$pg_min-$pg_max" -v ck="$check_ms" -v peak="$peak_mb" -v own="$own_mb" -v heap="$heap_mb" -v fr="$floor_read" -v fw="$floor_write" 'BEGIN {
    printf "native corvane -a        %8.2f s  (%s us)\n", na / 1e6, nar
    printf "page, apply              %8.2f s  (%s ms)\n", pg / 1000, pgr
    printf "page, check of result    %8.2f s\n", ck / 1000
    printf "browser alone: read      %8.2f s  (the image in 32 MB slices of the File, in a worker)\n", fr / 1000
    printf "browser alone: write     %8.2f s  (the same bytes to the private file system)\n", fw / 1000
    printf "ratio page / native      %8.2f  (apply medians; target 3 or less)\n", pg * 1000 / na
    printf "page peak memory         %8d MiB  (renderer resident, its program mapped from files too; target 256 MB = 244 MiB)\n", peak
    printf "page peak own memory     %8d MiB  (renderer anonymous + shared memory: the resident size less the program files)\n", own
    printf "page WebAssembly memory  %8d MiB  (its largest)\n", heap
}'
