#!/usr/bin/env bash
# Big-endian check: builds corvane, mkimage, the test suite and the corpus
# replays for s390x (big-endian, static) with Debian's cross compiler and runs
# them under qemu-s390x; then makes the sample image with the native and the
# s390x build, runs the same patch runs with each and compares every image,
# PPF file, output and exit status byte for byte.
#
#   bash tests/big_endian.sh        (as root on Debian 12; installs what is missing)
#
# Environment: JOBS (default 2) build jobs; KEEP=1 keeps the work directory.
# Exits non-zero on a build failure, a failing test or any difference.
set -eEuo pipefail
trap 'echo "big_endian: FAIL (line $LINENO: $BASH_COMMAND)" >&2' ERR

cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
JOBS=${JOBS:-2}
START=$SECONDS

step() { printf '\n== %s (%ds)\n' "$*" $((SECONDS - START)); }
die() { printf 'big_endian: FAIL: %s\n' "$*" >&2; exit 1; }

# ---------------------------------------------------------------- packages
installed() { dpkg-query -W -f '${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

step "packages"
missing=()
for p in cmake make g++ libgtest-dev googletest libbenchmark-dev g++-s390x-linux-gnu; do
    installed "$p" || missing+=("$p")
done
installed qemu-user || installed qemu-user-static || missing+=(qemu-user)
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
QEMU=$(command -v qemu-s390x || command -v qemu-s390x-static) || die "no qemu-s390x"
echo "emulator: $QEMU"

# ---------------------------------------------------------------- builds
step "native build (build/release)"
cmake --preset release >/dev/null
cmake --build --preset release -j"$JOBS" --target corvane mkimage

step "s390x build (build/s390x)"
cmake --preset s390x >/dev/null
cmake --build --preset s390x -j"$JOBS"

LE=$ROOT/build/release
BE=$ROOT/build/s390x
# The comparison proves nothing unless the second build really is big-endian:
# byte 5 of an ELF header is 2 for most-significant-byte-first.
for f in "$BE/corvane" "$BE/mkimage" "$BE/tests/corvane_tests"; do
    [ "$(od -An -tu1 -j5 -N1 "$f" | tr -d ' ')" = 2 ] || die "$f is not a big-endian ELF file"
done

# ---------------------------------------------------------------- test suite
step "tests under qemu-s390x"
suite=0
ctest --preset s390x -j"$JOBS" || suite=$?

# ---------------------------------------------------------------- same runs, both byte orders
step "same runs with both byte orders"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/corvane-be-XXXXXX")
[ "${KEEP:-}" = 1 ] && echo "work directory: $WORK" || trap 'rm -rf "$WORK"' EXIT

# Patch data shared by both sides: every byte value, then text.
mkdir "$WORK/in"
for i in $(seq 0 255); do printf "\\$(printf %03o "$i")"; done >"$WORK/in/bytes"
{ for _ in 1 2 3 4 5 6 7 8 9 10 11 12; do cat "$WORK/in/bytes"; done
  for i in $(seq 1 80); do printf 'line %03d of the patch that crosses sectors\n' "$i"; done
} >"$WORK/in/blob.bin"
head -c 3000 "$WORK/in/blob.bin" >"$WORK/in/script_new.txt"

# run NAME EXPECTED-STATUS ARGS... : one corvane run, its stdout, stderr and status kept.
run() {
    local name=$1 want=$2 status=0
    shift 2
    "${corvane[@]}" "$@" >"out/$name.stdout" 2>"out/$name.stderr" || status=$?
    echo "$status" >"out/$name.status"
    if [ "$status" != "$want" ]; then
        echo "  $side: $name exited $status, expected $want"
        fails=$((fails + 1))
    fi
}

side_runs() {
    mkdir -p "$WORK/$side/out" && cd "$WORK/$side"
    cp "$WORK/in/"* .
    "${mkimage[@]}" sample . >out/mkimage-sample.stdout
    "${mkimage[@]}" blank 40 blank.bin
    mkdir corpus && "${mkimage[@]}" corpus corpus
    for c in orig title dry script offset refused; do cp sample.bin "$c.bin"; done

    run list 0 -l x sample.bin
    run list-recurse 0 -r -l x sample.bin
    run title 0 -n 'TITLE.TXT;1' -p title.ppf -d 'byte order check' title_new.txt title.bin
    run dry 0 -x -n 'TITLE.TXT;1' -p dry.ppf title_new.txt dry.bin
    run script 0 -r -n 'SCRIPT.DAT;1' -p script.ppf script_new.txt script.bin
    run offset 0 -o 0xA9C4 -p offset.ppf -d 'at an offset' blob.bin offset.bin
    run blank 0 -o 0x5D28 blob.bin blank.bin
    run verify 0 -n 'TITLE.TXT;1' -v title_new.txt title_new.txt title.bin
    run compare 0 -e orig.bin title.bin
    run not-found 1 -n 'NOSUCH.TXT;1' title_new.txt orig.bin
    run not-recursed 1 -n 'SCRIPT.DAT;1' script_new.txt orig.bin
    run past-user-data 255 -o 0x9B28 blob.bin refused.bin
    cd "$ROOT"
}

fails=0
side=le corvane=("$LE/corvane") mkimage=("$LE/mkimage")
side_runs
side=be corvane=("$QEMU" "$BE/corvane") mkimage=("$QEMU" "$BE/mkimage")
side_runs

# The version line carries each build's own configure time; everything else must match.
for f in "$WORK"/le/out/*.stdout "$WORK"/be/out/*.stdout; do
    sed -i -E '/^Version [0-9]+\.[0-9]+ build [0-9]+ \(.*\) - .*\.$/d' "$f"
done

# Sanity: the patch runs really changed the images, the dry and the refused run did not.
cmp -s "$WORK/le/orig.bin" "$WORK/le/title.bin" && { echo "  title.bin unchanged"; fails=$((fails + 1)); }
for c in dry refused; do
    cmp -s "$WORK/le/orig.bin" "$WORK/le/$c.bin" || { echo "  $c run changed $c.bin"; fails=$((fails + 1)); }
done

compared=0
(cd "$WORK/le" && find . -type f | sort) >"$WORK/le.files"
(cd "$WORK/be" && find . -type f | sort) >"$WORK/be.files"
cmp -s "$WORK/le.files" "$WORK/be.files" || {
    echo "  the two byte orders left different files:"
    diff "$WORK/le.files" "$WORK/be.files" | sed 's/^/    /' || true
    fails=$((fails + 1))
}
while read -r f; do
    [ -f "$WORK/be/$f" ] || continue
    compared=$((compared + 1))
    if ! cmp -s "$WORK/le/$f" "$WORK/be/$f"; then
        where=$(cmp "$WORK/le/$f" "$WORK/be/$f" 2>&1 || true)
        echo "  differs: ${f#./} (${where##*: })"
        fails=$((fails + 1))
    fi
done <"$WORK/le.files"

# ---------------------------------------------------------------- summary
step "summary"
if [ "$suite" = 0 ]; then echo "tests under qemu-s390x: PASS"; else echo "tests under qemu-s390x: FAIL (status $suite)"; fi
echo "byte-order comparison: $compared files compared, $fails problem(s)"
if [ "$suite" = 0 ] && [ "$fails" = 0 ]; then
    echo "big_endian: PASS in $((SECONDS - START)) s"
    exit 0
fi
echo "big_endian: FAIL in $((SECONDS - START)) s"
exit 1
