#!/usr/bin/env bash
# Discs made by other authoring tools, read by the built tool:
#   vcd    a Video CD from vcdxbuild: root directory at sector 18 and a
#          subdirectory DATA of 150 files in 5 sectors, CD-ROM XA records;
#   plain  an ISO 9660 image from genisoimage, made raw by `mkimage wrap`: a
#          root directory of 150 files in 5 sectors (its length taken from the
#          volume descriptor) and a subdirectory of 100 files in 4, no XA records;
#   boot   a bootable image from genisoimage (-J, -b/-c, -hide, -sort), made raw:
#          A.DAT, the El Torito boot catalog, B.DAT, the boot image, C.DAT and a
#          hidden file, in that order, named by a primary and a Joliet tree.
# Each is listed, a file in a directory's last sector is found by name,
# patched and verified; on the plain image that file is then replaced by a
# shorter one (-s), listed and verified again, and read back by isoinfo. On the
# boot image no file may grow over the catalog, the boot image or the hidden
# file; C.DAT shrinks and B.DAT grows in its sector, read back through both
# trees, the boot catalog as it was. The VCD and the plain image are then
# extracted whole (-g) and each file compared with isoinfo's; the VCD's MPEG
# track, a Form 2 file, is changed in one sector and put back. On a tight disc
# with a Joliet tree a file grown past its neighbours moves to the image's end
# (--relocate), read back through both trees, the disc checked, and refused
# where data follows the volume; on a
# bootable disc with a Joliet tree the boot image and an empty file move
# likewise, the boot catalog's entry following its image, while an emulated
# diskette's image is refused the move. Patches made from two images (-m
# --xdelta), and the change of a writing run (--xdelta), are decoded by
# xdelta3; xdelta3's patches of every kind, and those of -m --xdelta, are
# applied by -a, as xdelta3 -d applies them (below). A whole tree with eight
# changed files goes back in one run (-s --tree), read back by isoinfo through
# both trees, its PPF file applied to a pristine copy. Stdout and
# status of each run (less the version line) are in expected/other_authors/.
#
#   bash tests/other_authors.sh CORVANE MKIMAGE [--update]
set -euo pipefail
corvane=$(readlink -f "$1") mkimage=$(readlink -f "$2") update=${3:-}
expected=$(cd "$(dirname "$0")" && pwd)/expected/other_authors
for tool in vcdxbuild genisoimage xdelta3; do
    command -v $tool >/dev/null || { echo "other_authors: $tool is not installed"; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failed=0

# capture NAME ARGS...: corvane ARGS; its stdout and exit status in NAME.out
# (less the size of a VCDIFF file: xdelta3 packs the dates genisoimage wrote,
# which vary, into more or fewer bytes).
capture() {
    local name=$1 status=0
    shift
    "$corvane" "$@" >"$name.raw" || status=$?
    { sed -E -e 's/^Version [0-9.]+ build [0-9]+ \(.*\) - .*\.$/Version (this build)/' \
          -e 's/^VCDIFF file: [0-9]+ bytes$/VCDIFF file: (its size)/' "$name.raw"
      echo "exit status $status"; } >"$name.out"
}
# run NAME ARGS...: capture, then compare with the expected file (or write it).
run() {
    capture "$@"
    if [ "$update" = --update ]; then cp "$1.out" "$expected/"
    elif ! diff -u "$expected/$1.out" "$1.out"; then echo "other_authors: $1 differs"; failed=1; fi
}
# read_back ISO TREES NAME:FILE...: each file NAME of the image ISO, read by
# isoinfo through each of TREES ("iso": names with ";1"; "joliet": names
# without), is FILE.
read_back() {
    local iso=$1 trees=$2 f name tree joliet
    shift 2
    for tree in $trees; do
        for f in "$@"; do
            name=${f%%:*} joliet=()
            if [ "$tree" = joliet ]; then joliet=(-J); else name+=';1'; fi
            isoinfo -i "$iso" "${joliet[@]}" -x "/$name" >read_back.dat
            cmp "${f#*:}" read_back.dat ||
                { echo "other_authors: isoinfo ($tree) reads back another $name from $iso"; failed=1; }
        done
    done
}
# The Video CD. Its one video track is the least vcdxbuild takes: one 2324-byte
# MPEG-1 pack (pack header, a video packet holding a 352x240 sequence header,
# a padding packet).
{ printf '\0\0\1\272\041\0\1\0\1\200\033\221'
  printf '\0\0\1\340\0\021\017\0\0\1\263\026\0\360\024\002\317\076\200\0\0\1\267'
  printf '\0\0\1\276\10\353'; head -c 2283 /dev/zero | tr '\0' '\377'; } >video.mpg
mkdir data
{ echo '<?xml version="1.0"?>'
  echo '<!DOCTYPE videocd PUBLIC "-//GNU//DTD VideoCD//EN" "http://www.gnu.org/software/vcdimager/videocd.dtd">'
  echo '<videocd xmlns="http://www.gnu.org/software/vcdimager/1.0/" class="vcd" version="2.0">'
  echo '<info><album-id>CORVANE</album-id><volume-count>1</volume-count><volume-number>1</volume-number></info>'
  echo '<pvd><volume-id>CORVANE</volume-id></pvd><filesystem><folder><name>DATA</name>'
  for i in $(seq -w 1 150); do
      echo "file $i" >data/$i && echo "<file src=\"data/$i\"><name>FILE_$i.DAT</name></file>"
  done
  echo '</folder></filesystem><sequence-items><sequence-item src="video.mpg"/></sequence-items></videocd>'
} >vcd.xml
vcdxbuild -T '2026-01-01 00:00:00' -b vcd.bin -c vcd.cue vcd.xml >vcdxbuild.log 2>&1 ||
    { cat vcdxbuild.log; exit 1; }
cp vcd.bin vcd_pristine.bin  # (each disc as made: the source of an xdelta3 patch below)

# The plain ISO 9660 image; -l allows its names of more than 8 characters.
mkdir -p tree/SUBDIR
for i in $(seq -w 1 150); do echo "root file $i" >tree/LONG_FILE_NAME_NUM_$i.TXT; done
head -c 4000 /dev/zero | tr '\0' 'r' >tree/LONG_FILE_NAME_NUM_150.TXT
for i in $(seq -w 1 100); do echo "nested file $i" >tree/SUBDIR/NESTED_FILE_NUMBER_$i.DAT; done
genisoimage -quiet -l -V CORVANE -o plain.iso tree
"$mkimage" wrap plain.iso plain.bin
cp plain.bin plain_pristine.bin

seq 1 2000 >numbers.txt               # (head on a file: no writer to be cut off)
head -c 2048 numbers.txt >new.dat     # fills FILE_150.DAT's one sector
head -c 4096 numbers.txt >new2.dat    # fills LONG_..._150.TXT's two sectors

run vcd_list -l x vcd.bin
run vcd_tree -r -l x vcd.bin
run vcd_patch -r -n 'FILE_150.DAT;1' new.dat vcd.bin
run vcd_verify -r -n 'FILE_150.DAT;1' -v new.dat new.dat vcd.bin

run plain_tree -r -l x plain.bin
run plain_patch -n 'long_file_name_num_150.txt;1' new2.dat plain.bin
run plain_verify -n 'LONG_FILE_NAME_NUM_150.TXT;1' -v new2.dat new2.dat plain.bin
head -c 2500 numbers.txt >new3.dat    # one sector and a half: the file shrinks
run plain_replace -s -n 'LONG_FILE_NAME_NUM_150.TXT;1' new3.dat plain.bin
run plain_replaced_list -l x plain.bin
run plain_replaced_verify -n 'LONG_FILE_NAME_NUM_150.TXT;1' -v new3.dat new3.dat plain.bin
"$mkimage" unwrap plain.bin replaced.iso
read_back replaced.iso iso LONG_FILE_NAME_NUM_150.TXT:new3.dat
isoinfo -i replaced.iso -l | grep -F 'LONG_FILE_NAME_NUM_150.TXT;1' | grep -q ' 2500 ' ||
    { echo "other_authors: isoinfo lists another size"; failed=1; }

# The bootable image: the boot image loads 4 of its 16 512-byte sectors, so
# the catalog claims its first sector; the rest is data outside any tree.
mkdir btree
seq 1 900 >btree/A.DAT
head -c 1000 /dev/zero | tr '\0' 'b' >btree/B.DAT
head -c 3000 /dev/zero | tr '\0' 'c' >btree/C.DAT
head -c 8192 /dev/zero | tr '\0' 'U' >btree/boot.img
head -c 2048 /dev/zero | tr '\0' 'h' >btree/hidden.dat
printf 'btree/%s %s\n' A.DAT 60 boot.cat 50 B.DAT 40 boot.img 30 C.DAT 20 hidden.dat 10 >sort.txt
hide=()
for f in boot.img boot.cat hidden.dat; do hide+=(-hide "$f" -hide-joliet "$f"); done
genisoimage -quiet -J -V CORVANE -b boot.img -c boot.cat -no-emul-boot -boot-load-size 4 \
    "${hide[@]}" -sort sort.txt -o boot.iso btree
"$mkimage" wrap boot.iso boot.bin
cp boot.bin boot_pristine.bin
isoinfo -d -i boot.iso | sed -n '/El Torito/,$p' >boot_before.txt
head -c 5000 numbers.txt >grow5000.dat
head -c 3000 numbers.txt >grow3000.dat
head -c 2000 numbers.txt >grow2000.dat
run boot_grow_catalog -s -n 'A.DAT;1' grow5000.dat boot.bin
run boot_grow_image -s -n 'B.DAT;1' grow3000.dat boot.bin
run boot_grow_hidden -s -n 'C.DAT;1' grow5000.dat boot.bin
run boot_shrink -s -n 'C.DAT;1' new3.dat boot.bin
run boot_grow_in_sector -s -n 'B.DAT;1' grow2000.dat boot.bin
"$mkimage" unwrap boot.bin boot_replaced.iso
read_back boot_replaced.iso "iso joliet" B.DAT:grow2000.dat C.DAT:new3.dat
isoinfo -d -i boot_replaced.iso | sed -n '/El Torito/,$p' >boot_after.txt
grep -q 'boot catalog is in sector' boot_after.txt && cmp boot_before.txt boot_after.txt ||
    { echo "other_authors: isoinfo reads another boot catalog"; failed=1; }
# The sectors the runs changed: the files' and the two root directories', no other.
{ cmp -l boot.iso boot_replaced.iso || true; } | awk '{ print int(($1 - 1) / 2048) }' | uniq >changed.txt
{ echo "catalog $(grep -o 'sector [0-9]*' boot_before.txt)"; echo "changed sectors:"; cat changed.txt; } >boot_changed.out
if [ "$update" = --update ]; then cp boot_changed.out "$expected/"
elif ! diff -u "$expected/boot_changed.out" boot_changed.out; then echo "other_authors: boot_changed differs"; failed=1; fi
# Extraction: every Form 1 file equals what isoinfo reads from the disc; a
# file with Form 2 sectors (the Video CD's MPEG track) holds, behind its
# 44-byte RIFF-CDXA header, the raw sectors at its extent.
extract_check() {  # extract_check DISC
    local disc=$1 sector count size kind path host
    run "${disc}_extract" -g "$disc.tree" "$disc.bin"
    "$mkimage" unwrap "$disc.bin" "$disc.iso"
    while IFS='|' read -r sector count size kind path; do
        sector=${sector//[!0-9]/} count=${count//[!0-9]/} kind=${kind# } kind=${kind% } path=${path# }
        host=$disc.tree${path%;*}
        if [ "$kind" = "Form 1" ]; then
            isoinfo -i "$disc.iso" -x "$path" | cmp -s - "$host" ||
                { echo "other_authors: $path of $disc is not what isoinfo reads"; failed=1; }
        elif ! tail -c +45 "$host" | cmp -s - <(dd if="$disc.bin" bs=2352 skip="$sector" count="$count" 2>/dev/null); then
            echo "other_authors: $path of $disc is not the raw sectors at its extent"; failed=1
        fi
    done < <(grep -a '^Sector [0-9]* | [0-9]* sectors | ' "${disc}_extract.raw")
}
extract_check vcd
extract_check plain

# A Form 2 file put back: the Video CD's MPEG track, extracted as RIFF-CDXA,
# gets 16 new bytes in the middle of the data of its sector 40 (a Form 2
# sector) and goes back by name; every sector of the image then checks good,
# and the bytes read back where they were written.
read -r first < <(grep -a 'Form 2 | /MPEGAV/AVSEQ01.DAT;1' vcd_extract.raw | grep -o '^Sector [0-9]*' | grep -o '[0-9]*')
mark=CORVANE-FORM2-OK
cp vcd.tree/MPEGAV/AVSEQ01.DAT avseq.xa
printf '%s' "$mark" | dd of=avseq.xa bs=1 seek=$((44 + 40 * 2352 + 24 + 1000)) conv=notrunc 2>/dev/null
run vcd_form2_put_back -r -n 'AVSEQ01.DAT;1' avseq.xa vcd.bin
run vcd_form2_check -c vcd.bin
[ "$(dd if=vcd.bin bs=1 skip=$(((first + 40) * 2352 + 24 + 1000)) count=${#mark} 2>/dev/null)" = "$mark" ] ||
    { echo "other_authors: the changed bytes of AVSEQ01.DAT do not read back"; failed=1; }


# A tight disc with a Joliet tree: A.DAT grows past its neighbours and moves
# (--relocate) to the volume's end, the image growing; both trees read the
# new bytes, the other files as before, and every sector checks good.
mkdir rtree
seq 1 500 >rtree/A.DAT
seq 1 600 >rtree/B.DAT
seq 1 700 >rtree/C.DAT
printf 'rtree/%s %s\n' A.DAT 30 B.DAT 20 C.DAT 10 >rsort.txt
genisoimage -quiet -J -V CORVANE -sort rsort.txt -o reloc.iso rtree
"$mkimage" wrap reloc.iso reloc.bin
head -c 6000 numbers.txt >grow6000.dat
run reloc_move -s --relocate -n 'A.DAT;1' grow6000.dat reloc.bin
run reloc_check -c reloc.bin
"$mkimage" unwrap reloc.bin reloc_after.iso
read_back reloc_after.iso "iso joliet" A.DAT:grow6000.dat B.DAT:rtree/B.DAT C.DAT:rtree/C.DAT

# The same disc with ten sectors of data after its volume (another session's
# files, say): growth past the volume would overwrite them, so the move is
# refused, naming the first such sector, and the image stays as it was.
{ cat reloc.iso; head -c $((10 * 2048)) < <(seq 1 5000); } >after.iso  # (no pipe: seq cut short is no failure)
"$mkimage" wrap after.iso after.bin
cp after.bin after_before.bin
run reloc_data_after_volume -s --relocate -n 'A.DAT;1' grow6000.dat after.bin
cmp -s after.bin after_before.bin || { echo "other_authors: a refused growth changed the image"; failed=1; }

# A bootable disc whose boot image and catalog both trees name, with an empty
# file: the boot image (no emulation, loaded whole) grows past its neighbour
# and moves, the catalog's entry with it; the empty file grows past the sector
# it points at and moves, its records in both trees with it. Both read back
# through both trees, the boot entry loads the new image whole, and every
# sector checks good. A diskette image the catalog emulates does not move.
mkdir etree
head -c 5000 /dev/zero | tr '\0' 'U' >etree/BOOT.IMG
seq 1 300 >etree/Z.DAT
: >etree/empty  # no extension: EMPTY.;1 in the primary tree, empty in the Joliet one
printf 'etree/%s %s\n' BOOT.IMG 30 Z.DAT 20 >esort.txt
genisoimage -quiet -J -V CORVANE -b BOOT.IMG -c BOOT.CAT -no-emul-boot -sort esort.txt -o eltorito.iso etree
"$mkimage" wrap eltorito.iso eltorito.bin
head -c 9000 < <(seq 1 3000) >grow9000.dat
run eltorito_move_boot -s --relocate -n 'BOOT.IMG;1' grow9000.dat eltorito.bin
run eltorito_move_empty -s --relocate -n 'EMPTY.;1' grow3000.dat eltorito.bin
run eltorito_check -c eltorito.bin
"$mkimage" unwrap eltorito.bin eltorito_after.iso
read_back eltorito_after.iso "iso joliet" BOOT.IMG:grow9000.dat Z.DAT:etree/Z.DAT
read_back eltorito_after.iso iso EMPTY.:grow3000.dat
read_back eltorito_after.iso joliet empty:grow3000.dat
isoinfo -d -i eltorito_after.iso | sed -n '/El Torito/,$p' >eltorito_after.txt
read -r count load < <(sed -n 's/^ *Nsect \([0-9A-Fa-f]*\)$/\1/p; s/^ *Bootoff \([0-9A-Fa-f]*\) .*/\1/p' eltorito_after.txt | tr '\n' ' '; echo)
# (A count too small for the image is a failure, not a negative length.)
loads=$((0x${count:-0} * 512))
if ((loads < 9000)); then
    echo "other_authors: the boot entry loads $loads bytes, fewer than the moved boot image's 9000"; failed=1
else
    { cat grow9000.dat; head -c $((loads - 9000)) /dev/zero; } >loaded.want
    dd if=eltorito_after.iso bs=512 skip=$((0x${load:-0} * 4)) count=$((0x$count)) 2>/dev/null | cmp -s - loaded.want ||
        { echo "other_authors: the boot entry does not load the moved boot image whole"; failed=1; }
fi
{ echo "isoinfo -d after the moves:"; cat eltorito_after.txt; } >eltorito_catalog.out
if [ "$update" = --update ]; then cp eltorito_catalog.out "$expected/"
elif ! diff -u "$expected/eltorito_catalog.out" eltorito_catalog.out; then echo "other_authors: eltorito_catalog differs"; failed=1; fi
# An entry that loads the boot image's bytes whole (10 512-byte sectors of
# 5000 bytes) follows its new size; one that loads more than its bytes but
# not all its sectors (11) is refused the move.
for size in 10 11; do
    genisoimage -quiet -J -V CORVANE -b BOOT.IMG -c BOOT.CAT -no-emul-boot -boot-load-size $size \
        -sort esort.txt -o load$size.iso etree
    "$mkimage" wrap load$size.iso load$size.bin
    run eltorito_load_$size -s --relocate -n 'BOOT.IMG;1' grow9000.dat load$size.bin
done
mkdir ftree
head -c 1474560 /dev/zero | tr '\0' 'F' >ftree/FLOPPY.IMG
seq 1 300 >ftree/Z.DAT
printf 'ftree/%s %s\n' FLOPPY.IMG 30 Z.DAT 20 >fsort.txt
genisoimage -quiet -J -V CORVANE -b FLOPPY.IMG -c BOOT.CAT -sort fsort.txt -o floppy.iso ftree
"$mkimage" wrap floppy.iso floppy.bin
cp floppy.bin floppy_before.bin
{ cat ftree/FLOPPY.IMG; echo more; } >grow_floppy.dat
run floppy_move_refused -s --relocate -n 'FLOPPY.IMG;1' grow_floppy.dat floppy.bin
cmp -s floppy.bin floppy_before.bin || { echo "other_authors: a refused move changed the image"; failed=1; }

# One patch from two images (-m --xdelta), decoded by xdelta3: a disc's tree
# extracted, three files grown and put back with -s --relocate (each moves to
# the volume's end), then xdelta3 rebuilds the final image from the pristine
# one byte for byte and isoinfo reads every file back. The same for a file
# changed in place, and for a disc made anew with a file inserted before the
# others, which shifts every later file. (The dates genisoimage writes vary, so
# only the run in place has its output compared.)
mkdir mtree
for n in 1 2 3 4 5 6; do seq 1 $((n * 900)) >mtree/F$n.DAT; done
genisoimage -quiet -V CORVANE -o make.iso mtree
"$mkimage" wrap make.iso make.bin
cp make.bin pristine.bin
"$corvane" -q -g mfiles make.bin >/dev/null
for n in 2 4 5; do
    seq 1 2000 >>mfiles/F$n.DAT
    "$corvane" -q -s --relocate -n "F$n.DAT;1" mfiles/F$n.DAT make.bin >/dev/null
done
# decode NAME ORIGINAL MODIFIED: the xdelta file NAME.xdelta turns ORIGINAL into MODIFIED.
decode() {
    xdelta3 -d -f -s "$2" "$1.xdelta" decoded.bin && cmp decoded.bin "$3" ||
        { echo "other_authors: xdelta3 does not turn $2 into $3 with $1.xdelta"; failed=1; }
}
capture make_xdelta_moved -m --xdelta moved.xdelta pristine.bin make.bin
decode moved pristine.bin make.bin
"$mkimage" unwrap decoded.bin decoded.iso
read_back decoded.iso iso F1.DAT:mfiles/F1.DAT F2.DAT:mfiles/F2.DAT F3.DAT:mfiles/F3.DAT \
    F4.DAT:mfiles/F4.DAT F5.DAT:mfiles/F5.DAT F6.DAT:mfiles/F6.DAT
cp pristine.bin in_place.bin
seq 2 901 >in_place.dat
"$corvane" -q -n 'F1.DAT;1' in_place.dat in_place.bin >/dev/null
run make_xdelta_in_place -m --xdelta in_place.xdelta pristine.bin in_place.bin
decode in_place pristine.bin in_place.bin
seq 1 9000 >mtree/A0.DAT
genisoimage -quiet -V CORVANE -o shifted.iso mtree
"$mkimage" wrap shifted.iso shifted.bin
capture make_xdelta_shifted -m --xdelta shifted.xdelta pristine.bin shifted.bin
decode shifted pristine.bin shifted.bin
# A writing run's own change (--xdelta): a file grown and moved by -s
# --relocate, then one patched in place; xdelta3 turns each image as it was
# before the run into the image after it.
cp pristine.bin run.bin
cp run.bin run_before.bin
seq 1 9000 >run_grown.dat
"$corvane" -q -s --relocate -n 'F3.DAT;1' --xdelta run_moved.xdelta run_grown.dat run.bin >/dev/null
decode run_moved run_before.bin run.bin
cp run.bin run_before.bin
"$corvane" -q -n 'F6.DAT;1' --xdelta run_in_place.xdelta in_place.dat run.bin >/dev/null
decode run_in_place run_before.bin run.bin

# xdelta3's patches applied (-a): each disc as made turned into the disc the
# runs above left, by xdelta3 -e with one setting per row. corvane -a writes
# into an output file the bytes xdelta3 -d writes (its stdout stored); in
# place (no output file) the image becomes them, no other file left behind;
# a dry run (-x) leaves the image as it was and writes nothing. A row whose
# setting names a compressor must have compressed sections, or it tests none.
# same A B WHAT: files A and B hold the same bytes, else WHAT failed.
same() { cmp -s "$1" "$2" || { echo "other_authors: $3"; failed=1; }; }
# apply_check NAME SOURCE MODIFIED XDELTA3-OPTIONS...
apply_check() {
    local name=$1 source=$2 modified=$3
    shift 3
    xdelta3 -e -f "$@" -s "$source" "$modified" "$name.xdelta"
    if [[ " $* " == *" -S lzma "* || " $* " == *" -S djw "* ]] &&
        ! xdelta3 printhdrs "$name.xdelta" | grep -E 'delta indicator: +VCD_' >/dev/null; then
        echo "other_authors: $name.xdelta has no compressed section"; failed=1
    fi
    xdelta3 -d -f -s "$source" "$name.xdelta" theirs.bin
    same theirs.bin "$modified" "xdelta3 -d does not undo its own $name.xdelta"
    rm -f ours.bin
    run "$name" -a "$name.xdelta" "$source" ours.bin
    same ours.bin theirs.bin "corvane -a $name.xdelta writes other bytes than xdelta3 -d"
    cp "$source" image.bin
    files_before=$(ls | grep -Ev '\.(raw|out)$')
    capture "${name}_in_place" -q -a "$name.xdelta" image.bin
    same image.bin theirs.bin "corvane -a $name.xdelta in place leaves other bytes than xdelta3 -d writes"
    cp "$source" image.bin
    capture "${name}_dry" -x -a "$name.xdelta" image.bin
    same image.bin "$source" "corvane -x -a $name.xdelta changes the image"
    [ "$(ls | grep -Ev '\.(raw|out)$')" = "$files_before" ] ||
        { echo "other_authors: corvane -a $name.xdelta leaves other files behind"; failed=1; }
    grep -qx 'exit status 0' "${name}_in_place.out" && grep -qx 'exit status 0' "${name}_dry.out" ||
        { echo "other_authors: corvane -a $name.xdelta in place or dry fails"; failed=1; }
}
apply_check xdelta3_none vcd_pristine.bin vcd.bin -S none
# LZMA where the tool under test was built with liblzma (CORVANE_READS_LZMA=1;
# a cross build for another system has none).
[[ ${CORVANE_READS_LZMA:-1} == 1 ]] && apply_check xdelta3_lzma boot_pristine.bin boot.bin -S lzma
apply_check xdelta3_djw plain_pristine.bin plain.bin -S djw
# Several windows, each compressor's state carried from one to the next.
[[ ${CORVANE_READS_LZMA:-1} == 1 ]] && apply_check xdelta3_windows_lzma pristine.bin make.bin -S lzma -W 65536
apply_check xdelta3_windows_djw pristine.bin make.bin -S djw -W 16384
# A source window far from its target: a file at the disc's start grown past
# its neighbours and moved to the end, 2 MB on, copied from where it was
# (-B: a source window that spans the whole disc, so xdelta3 finds it there).
mkdir fartree
seq 1 3000 >fartree/A.DAT
seq 1 250000 >fartree/FILL.DAT
genisoimage -quiet -V CORVANE -o far.iso fartree
"$mkimage" wrap far.iso far_pristine.bin
cp far_pristine.bin far.bin
seq 1 6000 >grow_far.dat
"$corvane" -q -s --relocate -n 'A.DAT;1' grow_far.dat far.bin >/dev/null
apply_check xdelta3_far far_pristine.bin far.bin -S none -W 65536 -B 4194304
xdelta3 printhdrs xdelta3_far.xdelta | awk '/window at offset/ { at = $NF }
    /copy window offset/ && at - $NF > 2000000 { far = 1 } END { exit !far }' ||
    { echo "other_authors: no window of xdelta3_far.xdelta copies from 2 MB before it"; failed=1; }
# corvane's own patches (-m --xdelta above) applied back: the moved files and
# the shifted disc, into an output file and in place.
for name in moved:make.bin shifted:shifted.bin; do
    modified=${name#*:} name=${name%:*}
    rm -f ours.bin
    run "apply_$name" -q -a "$name.xdelta" pristine.bin ours.bin
    same ours.bin "$modified" "corvane -a does not turn pristine.bin into $modified with its own $name.xdelta"
    cp pristine.bin image.bin
    "$corvane" -q -a "$name.xdelta" image.bin >/dev/null
    same image.bin "$modified" "corvane -a $name.xdelta in place does not make $modified"
done
# A whole tree put back (-s --tree): a disc with a Joliet tree, extracted
# (-g), eight of its files changed (three grow past their neighbours, one
# shrinks and leaves them room, two grow within their last sector, two keep
# their size), put back
# in one run with --relocate and one PPF 3.0 file. isoinfo reads every file
# back through both trees, every sector checks good, and the PPF file turns a
# pristine copy into the same image byte for byte.
mkdir -p ttree/SUB
for n in 01 02 03 04 05 06 07 08 09 10; do seq 1 $((10#$n * 300 + 500)) >ttree/F$n.DAT; done
seq 1 20000 >ttree/F07.DAT   # 53 sectors: shrunk, it leaves room for two that grow
for n in 1 2 3; do seq 1 $((n * 700)) >ttree/SUB/G$n.DAT; done
genisoimage -quiet -J -V CORVANE -o treedisc.iso ttree
"$mkimage" wrap treedisc.iso treedisc.bin
cp treedisc.bin treedisc_pristine.bin
"$corvane" -q -g tfiles treedisc.bin >/dev/null
for f in F02 F05 F09; do seq 1 3000 >>tfiles/$f.DAT; done    # past their neighbours
seq 5 805 >tfiles/F01.DAT                                     # other bytes, 12 more
printf 'more' >>tfiles/F04.DAT                                # within its last sector
seq 1 100 >tfiles/F07.DAT                                     # shrinks
tr '1' '7' <ttree/F10.DAT >tfiles/F10.DAT
tr '2' '8' <ttree/SUB/G2.DAT >tfiles/SUB/G2.DAT
run tree_put_back -s --tree --relocate -P fix.ppf tfiles treedisc.bin
run tree_put_back_check -c treedisc.bin
"$mkimage" unwrap treedisc.bin treedisc_after.iso
files=()
for f in $(cd tfiles && find . -type f | sort); do files+=("${f#./}:tfiles/${f#./}"); done
read_back treedisc_after.iso "iso joliet" "${files[@]}"
cp treedisc_pristine.bin treedisc_applied.bin
"$corvane" -q -a fix.ppf treedisc_applied.bin >/dev/null ||
    { echo "other_authors: -a fix.ppf fails on the pristine disc"; failed=1; }
cmp -s treedisc_applied.bin treedisc.bin ||
    { echo "other_authors: fix.ppf does not turn the pristine disc into the one -s --tree left"; failed=1; }
[ $failed = 0 ] && echo "other_authors: all runs as expected${update:+ (expected outputs written)}"
exit $failed
