#!/usr/bin/env bash
# Byte-order check: the whole test suite built for s390x (big-endian) and run
# under qemu-s390x; the golden runs compare every output and file byte for
# byte with what the native build stored.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
for p in cmake make googletest g++-s390x-linux-gnu qemu-user; do
    dpkg-query -W -f '${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    export DEBIAN_FRONTEND=noninteractive
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

cmake --preset s390x >/dev/null
cmake --build --preset s390x -j2
# Proves nothing unless the build really is big-endian: byte 5 of an ELF
# header is 2 for most-significant-byte-first.
for f in build/s390x/corvane build/s390x/tests/corvane_tests; do
    [ "$(od -An -tu1 -j5 -N1 "$f" | tr -d ' ')" = 2 ] || { echo "$f is not big-endian" >&2; exit 1; }
done
ctest --preset s390x -j2
