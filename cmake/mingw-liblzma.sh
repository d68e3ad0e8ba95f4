#!/usr/bin/env bash
# liblzma for the Windows build, from Debian's own source of xz-utils:
# fetched once with `apt-get source` into build/xz-src, built by xz's own
# CMake with the MinGW-w64 cross compiler as a static library alone (no xz
# programs, no tests), and installed into build/mingw-deps, where the mingw
# preset finds its CMake package. Does nothing once that is there.
#
# `apt-get source` needs a deb-src line for this Debian release in the apt
# sources (and `apt-get update` after it) and dpkg-dev; .ci/run adds both.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$PWD/build
deps=$build/mingw-deps
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
        echo "mingw-liblzma: 'apt-get source xz-utils' failed. It needs dpkg-dev, a deb-src line for this"
        echo "Debian release in the apt sources (as in .ci/run) and 'apt-get update' after adding it."
        exit 1
    fi
    src=$(find "$fetch" -mindepth 2 -maxdepth 2 -name CMakeLists.txt -printf '%h\n' | head -n 1)
    [ -n "$src" ] || { echo "mingw-liblzma: no CMakeLists.txt in the xz-utils source"; exit 1; }
    rm -rf "$build/xz-src" && mv "$src" "$build/xz-src" && rm -rf "$fetch"
fi

echo "mingw-liblzma: building a static liblzma for MinGW-w64 from build/xz-src"
rm -rf "$build/xz-build" "$deps"
cmake -S "$build/xz-src" -B "$build/xz-build" --toolchain "$PWD/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF \
      -DCMAKE_INSTALL_PREFIX="$deps" >"$build/xz-configure.log" 2>&1 ||
    { cat "$build/xz-configure.log"; exit 1; }
{ cmake --build "$build/xz-build" --target liblzma -j2 &&
  cmake --install "$build/xz-build" --component liblzma_Development; } >"$build/xz-build.log" 2>&1 ||
    { cat "$build/xz-build.log"; exit 1; }
version=$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' "$deps/lib/cmake/liblzma/liblzma-config-version.cmake")
echo "mingw-liblzma: static liblzma $version from Debian's xz-utils source, in $deps"
