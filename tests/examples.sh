#!/usr/bin/env bash
# The examples of README.md (its "    $ corvane ..." lines) and of the man page
# (its .EX blocks), which must be the same commands, each run as written with
# the built tool as `corvane`, in a fresh folder holding the sample disc as
# game.bin, its TITLE.TXT;1 as old_title.txt, a replacement new_title.txt, a
# short patch.bin, a copy of the disc, other.bin, and movie.bin, a disc holding
# an interleaved file, MOVIE.STR;1. Each must end with status
# 0. Where groff is installed, the man page must also format without warnings.
#
#   bash tests/examples.sh CORVANE MKIMAGE
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd) mkimage=$(readlink -f "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/seed"
ln -s "$(readlink -f "$1")" "$work/bin/corvane"
export PATH="$work/bin:$PATH"

if command -v groff >/dev/null && [ -n "$(groff -ww -z -man "$top/doc/corvane.1" 2>&1)" ]; then
    groff -ww -z -man "$top/doc/corvane.1"; echo "examples: doc/corvane.1 has warnings"; exit 1
fi
sed -n -E 's/^    \$ (corvane .*)/\1/p' "$top/README.md" | sed -E 's/ +#.*//' >"$work/readme"
sed -n '/^\.EX/,/^\.EE/{/^\./!p}' "$top/doc/corvane.1" | sed 's/\\-/-/g; s/\\e/\\/g' >"$work/man"
[ -s "$work/readme" ] || { echo "examples: none found in README.md"; exit 1; }
diff -u "$work/readme" "$work/man" || { echo "examples: README.md and doc/corvane.1 differ"; exit 1; }

cd "$work/seed"
"$mkimage" sample . >/dev/null
"$mkimage" xa movie.bin
mv sample.bin game.bin && mv title.txt old_title.txt && mv title_new.txt new_title.txt
cp game.bin other.bin && printf 'A new readme.\r\n' >patch.bin
failed=0
while IFS= read -r example; do
    rm -rf "$work/run" && cp -r "$work/seed" "$work/run"
    if (cd "$work/run" && eval "$example") </dev/null >"$work/log" 2>&1; then
        echo "ok: $example"
    else
        echo "FAILED (status $?): $example"; cat "$work/log"; failed=1
    fi
done <"$work/readme"
exit $failed
