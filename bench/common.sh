# Shared by the timing scripts: the built tools, a scratch folder in tmpfs
# (/dev/shm when there is one) removed on exit, and the timing helpers.
#   source bench/common.sh NAME MAKE_TARGET
#   sets: root corvane mkimage dir fs
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
corvane=${CORVANE:-$root/build/release/corvane}
mkimage=${MKIMAGE:-$root/build/release/mkimage}
for tool in "$corvane" "$mkimage"; do
    [[ -x $tool ]] || { echo "missing $tool (run: make $2)" >&2; exit 1; }
done
base=/dev/shm
[[ -d $base && -w $base ]] || base=${TMPDIR:-/tmp}
dir=$(mktemp -d "$base/corvane-$1.XXXXXX")
trap 'rm -rf "$dir"' EXIT
fs=$(stat -f -c %T "$dir")

now_us() { local t=$EPOCHREALTIME; echo "${t/[.,]/}"; }
# time_us COMMAND...: microseconds COMMAND took, with $dir/copy.bin removed first.
time_us() { local t0 t1; rm -f "$dir/copy.bin"; t0=$(now_us); "$@"; t1=$(now_us); echo $((t1 - t0)); }
# stats TIMES...: "median min max"
stats() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)], v[1], v[NR] }'; }

# median TIMES...: the median alone.
median() { stats "$@" | cut -d ' ' -f 1; }
# peak_of COMMAND...: the peak memory COMMAND took, from /usr/bin/time.
peak_of() {
    [[ -x /usr/bin/time ]] || { echo unmeasured; return; }
    /usr/bin/time -f '%M' -o "$dir/peak.txt" "$@" > /dev/null 2>&1
    echo "$(($(tail -n 1 "$dir/peak.txt") / 1024)) MiB"
}
# bench_disc: an ISO 9660 image of about $sectors sectors from genisoimage,
# made raw by `mkimage wrap` into $dir/pristine.bin: A_BIG.DAT of $big random
# bytes first, then filler files of random bytes; its files stay in $tree.
bench_disc() {
    tree=$dir/tree
    mkdir "$tree"
    head -c "$big" /dev/urandom > "$tree/A_BIG.DAT"
    local fill=$((sectors * 2048 - big - 2 * 1024 * 1024)) chunk n
    for ((n = 0; fill > 0; ++n)); do
        chunk=$((fill < 64 * 1024 * 1024 ? fill : 64 * 1024 * 1024))
        head -c "$chunk" /dev/urandom > "$(printf '%s/FILL%03d.DAT' "$tree" "$n")"
        fill=$((fill - chunk))
    done
    genisoimage -quiet -V BENCH -o "$dir/disc.iso" "$tree"
    "$mkimage" wrap "$dir/disc.iso" "$dir/pristine.bin"
    rm "$dir/disc.iso"
}
