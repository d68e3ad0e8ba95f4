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
