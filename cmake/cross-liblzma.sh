#!/usr/bin/env bash
# liblzma for the cross builds, from Debian's own source of xz-utils: fetched
# once with `apt-get source` into build/xz-src, built by xz's own CMake with
# the cross compiler as a static library alone (no xz programs, no tests),
# and installed into build/TARGET-deps, where the build finds its CMake
# package. Does nothing once that is there.
#   cross-liblzma.sh mingw   the Windows build, by Debian's MinGW-w64 (build/mingw-deps)
#   cross-liblzma.sh web     the browser page, by Debian's emscripten (build/web-deps)
#
# `apt-get source` needs a deb-src line for this Debian release in the apt
# sources (and `apt-get update` after it) and dpkg-dev; .ci/run adds both.
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:-mingw}
build=$PWD/build
deps=$build/$target-deps
case $target in
    mingw)
        what="MinGW-w64"
        toolchain=$PWD/cmake/mingw-w64-x86_64.cmake
        extra=() ;;
    web)
        what="the browser (emscripten)"
        toolchain=$(em-config EMSCRIPTEN_ROOT)/cmake/Modules/Platform/Emscripten.cmake
        # The page runs on one thread: the C library's thread calls serve
        # liblzma, built without -pthread. CMake cannot run a test program
        # to learn the byte order: WebAssembly is little-endian.
        extra=(-DCMAKE_HAVE_LIBC_PTHREAD=ON -DHAVE_is_big=1 -Dis_big=0) ;;
    *)
        echo "cross-liblzma: unknown target '$target' (mingw or web)"
        exit 1 ;;
esac
[ -f "$deps/lib/cmake/liblzma/liblzma-config.cmake" ] && [ -f "$deps/lib/liblzma.a" ] && exit 0

if [ ! -f "$build/xz-src/CMakeLists.txt" ]; then
    fetch=$build/xz-fetch
    rm -rf "$fetch" && mkdir -p "$fetch"
    # As root apt-get would hand the download to its _apt user, who cannot
    # write here.
    as_root=()
    [ "$(id -u)" = 0 ] && as_root=(-o APT::Sandbox::User=root)
    get() { (cd "$fetch" && apt-get source -qq "${as_root[@]}" xz-utils) >"$fetch/log" 2>&1; }
    if ! get && ! { [ "$(id -u)" = 0 ] && DEBIAN_FRONTEND=noninteractive apt-get update -qq && get; }; then
        cat "$fetch/log"
        echo "cross-liblzma: 'apt-get source xz-utils' failed. It needs dpkg-dev, a deb-src line for this"
        echo "Debian release in the apt sources (as in .ci/run) and 'apt-get update' after adding it."
        exit 1
    fi
    src=$(find "$fetch" -mindepth 2 -maxdepth 2 -name CMakeLists.txt -printf '%h\n' | head -n 1)
    [ -n "$src" ] || { echo "cross-liblzma: no CMakeLists.txt in the xz-utils source"; exit 1; }
    rm -rf "$build/xz-src" && mv "$src" "$build/xz-src" && rm -rf "$fetch"
fi

echo "cross-liblzma: building a static liblzma for $what from build/xz-src"
work=$build/xz-build-$target
rm -rf "$work" "$deps"
cmake -S "$build/xz-src" -B "$work" --toolchain "$toolchain" \
      -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF "${extra[@]}" \
      -DCMAKE_INSTALL_PREFIX="$deps" >"$work.configure.log" 2>&1 ||
    { cat "$work.configure.log"; exit 1; }
{ cmake --build "$work" --target liblzma -j2 &&
  cmake --install "$work" --component liblzma_Development; } >"$work.log" 2>&1 ||
    { cat "$work.log"; exit 1; }
version=$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' "$deps/lib/cmake/liblzma/liblzma-config-version.cmake")
echo "cross-liblzma: static liblzma $version from Debian's xz-utils source, in $deps"
