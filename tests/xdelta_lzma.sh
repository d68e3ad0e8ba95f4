#!/usr/bin/env bash
# xdelta3's LZMA-compressed patches (-S lzma) applied by the Windows build
# under wine (tests/windows.cmake; other_authors.sh has the Linux build's):
# one of many windows, so that each kind of section is one LZMA stream across
# them, applied in place and to an output file; the same patch with a byte of
# its last LZMA section changed, or cut short, is refused and leaves the
# image as it was.
#
#   bash tests/xdelta_lzma.sh CORVANE MKIMAGE
set -euo pipefail
corvane=$1 mkimage=$2
command -v xdelta3 >/dev/null || { echo "xdelta_lzma: no xdelta3"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Relative names only: a Windows build runs under wine.
cd "$work"
"$mkimage" sample . >/dev/null
cp sample.bin image.bin && cp sample.bin modified.bin
size=$(stat -c %s image.bin)
# Text written into every window of 16 KB and a grown tail: sections that
# xdelta3 compresses, in one LZMA stream per kind across the windows.
for ((w = 0; w * 16384 < size; w++)); do
    dd if=title_new.txt bs=1 skip=$((w * 300)) count=1500 status=none |
        dd of=modified.bin bs=1 seek=$((w * 16384 + 1000)) conv=notrunc status=none
done
head -c 3000 title_new.txt >>modified.bin
xdelta3 -e -f -S lzma -W 16384 -s image.bin modified.bin patch.xdelta
xdelta3 printhdrs patch.xdelta >headers
[ "$(grep -c 'VCD_DATACOMP' headers)" -ge 3 ] || { echo "xdelta_lzma: too few LZMA sections"; cat headers; exit 1; }

failed=0
check() {  # check NAME STATUS FILE EXPECTED: the run's status and the file it leaves
    if [ "$2" != 0 ] || ! cmp -s "$3" "$4"; then
        echo "FAILED: $1 (status $2)"; cat log; failed=1
    else
        echo "ok: $1"
    fi
}
status=0; "$corvane" -a patch.xdelta image.bin >log 2>&1 || status=$?
check "applied in place" $status image.bin modified.bin
cp sample.bin image.bin
status=0; "$corvane" -a patch.xdelta image.bin out.bin >log 2>&1 || status=$?
check "applied to an output file" $status out.bin modified.bin
cmp -s image.bin sample.bin || { echo "FAILED: the image of the -o run changed"; failed=1; }

# The last window's data section (the file ends with its data, instruction
# and address sections) with one byte changed, then the file cut short.
read -r data inst addr < <(awk -F': *' '/data section length/ { d = $2 } /inst section length/ { i = $2 }
                                         /addr section length/ { a = $2 } END { print d, i, a }' headers)
cp patch.xdelta damaged.xdelta
printf '\x55' | dd of=damaged.xdelta bs=1 seek=$(($(stat -c %s patch.xdelta) - addr - inst - data / 2 - 1)) \
    conv=notrunc status=none
head -c $(($(stat -c %s patch.xdelta) - 20)) patch.xdelta >short.xdelta
for bad in damaged short; do
    status=0; "$corvane" -a $bad.xdelta image.bin >log 2>&1 || status=$?
    if [ $status = 0 ] || ! grep -q -- '-- refused' log || ! cmp -s image.bin sample.bin; then
        echo "FAILED: the $bad patch (status $status)"; cat log; failed=1
    else
        echo "ok: the $bad patch refused"
    fi
done
[ $failed = 0 ] && echo "xdelta_lzma: 4 passed, 0 failed" || { echo "xdelta_lzma: failed"; exit 1; }
