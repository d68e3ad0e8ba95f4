#!/usr/bin/env bash
# The page in headless Chromium (make test-web): inputs made by the image
# maker, the native tool and xdelta3, applied through the page's own
# controls from file:// and from a local static host; each result must be
# the native tool's, byte for byte, and each refusal the native tool's words.
#   test-web.sh SITE CORVANE MKIMAGE NODE_MODULES
set -euo pipefail
site=$(realpath "$1") corvane=$(realpath "$2") mkimage=$(realpath "$3") modules=$(realpath "$4")
here=$(cd "$(dirname "$0")" && pwd)
work=$(realpath -m build/web-test)
rm -rf "$work" && mkdir -p "$work/in" "$work/native"
cd "$work/in"

# A disc and its patched form; the patches between them.
"$mkimage" sample . >/dev/null
mv sample.bin game.bin && rm sample.cue
cp game.bin patched.bin
"$corvane" -q -s -n TITLE.TXT\;1 title_new.txt patched.bin >/dev/null
"$corvane" -q -m -P fix3.ppf -d "Fan translation v1" game.bin patched.bin >/dev/null
"$corvane" -q -m -p fix2.ppf -d "Old fix" game.bin patched.bin >/dev/null
xdelta3 -e -f -S lzma -s game.bin patched.bin fix.xdelta
# (Its header's secondary compressor: 2, LZMA.)
[ "$(od -An -tx1 -j5 -N1 fix.xdelta)" = " 02" ] || { echo "xdelta3 wrote no LZMA section"; exit 1; }
# Another dump of the same size: the PPF 2.0 file's block check fails there.
"$mkimage" blank 39 other.bin >/dev/null
# A cue sheet with two files: the data track (the game) and an audio track.
cp game.bin "disc (Track 1).bin"
head -c $((2352 * 20)) /dev/urandom > "disc (Track 2).bin"
printf 'FILE "disc (Track 1).bin" BINARY\r\n  TRACK 01 MODE2/2352\r\n    INDEX 01 00:00:00\r\nFILE "disc (Track 2).bin" BINARY\r\n  TRACK 02 AUDIO\r\n    INDEX 00 00:00:00\r\n    INDEX 01 00:02:00\r\n' > disc.cue

# A larger image, read and written in many pieces: random data over most
# of its sectors, as a PPF 3.0 file (made by a dry run, so the image stays).
"$mkimage" blank 16000 large.bin >/dev/null
head -c $((15000 * 2048)) /dev/urandom > large-data.bin
"$corvane" -q -x -P large.ppf -o $((17 * 2352)) large-data.bin large.bin >/dev/null
rm large-data.bin

# name | patch | image given | other files the page is given
cases=(
  "ppf3|fix3.ppf|game.bin|"
  "ppf2-wrong-dump|fix2.ppf|other.bin|"
  "xdelta-lzma|fix.xdelta|game.bin|"
  "cue-two-files|fix3.ppf|disc.cue|disc (Track 1).bin:disc (Track 2).bin"
  "ppf3-large|large.ppf|large.bin|"
)
: > "$work/cases.txt"
for c in "${cases[@]}"; do
  IFS='|' read -r name patch image others <<<"$c"
  result="${image%.*} (patched).bin"
  status=0
  (cd "$work/in" && "$corvane" -a "$patch" "$image" "../native/$result") > "$work/native/$name.txt" 2>&1 || status=$?
  # The page shows the result under its own name, without the folder.
  sed -i "s|\.\./native/||" "$work/native/$name.txt"
  sha=-
  [ $status = 0 ] && sha=$(sha1sum < "$work/native/$result" | cut -d' ' -f1) && rm "$work/native/$result"
  printf '%s|%s|%s|%s|%s|%s\n' "$name" "$patch" "$image" "$others" "$status" "$sha" >> "$work/cases.txt"
done

NODE_PATH=$modules node "$here/drive.js" "$site" "$work"
