# The commands of the README (demo, test, install, deb), plus the sanitizer run, the benchmarks and the fuzzers.
MAKEFLAGS += --no-print-directory
DEMO := build/demo
CORVANE := build/demo-build/corvane
# Debian packages the tests need: GoogleTest, Google Benchmark (the dev build
# builds the benchmarks too), and the other authoring tools
# whose discs the directory reader is tested against (xdelta3: the decoder of
# the xdelta files the make run writes).
TEST_PACKAGES := cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev vcdimager genisoimage xdelta3 liblzma-dev
# What the Windows build and its tests under wine need (googletest: its
# sources, built by the cross compiler; groff-base: the man page as text;
# dpkg-dev and xz-utils: apt-get source of xz-utils, whose liblzma the build
# cross-compiles).
WINDOWS_PACKAGES := cmake make g++-mingw-w64-x86-64-posix wine wine64 googletest groff-base dpkg-dev xz-utils
# What the browser page needs: Debian's emscripten (whose optimizer needs
# node-acorn), dpkg-dev and xz-utils for liblzma's source; its test also
# Chromium's headless shell (playwright-core, from the npm registry, drives
# it: nothing downloads a browser) and xdelta3.
WEB_PACKAGES := cmake make emscripten node-acorn dpkg-dev xz-utils
WEB_TEST_PACKAGES := chromium chromium-headless-shell xdelta3
# Debian's emscripten runs its optimizer under node with Debian's modules.
export NODE_PATH := $(if $(NODE_PATH),$(NODE_PATH):)/usr/share/nodejs
# What building the Debian package and checking it need.
DEB_PACKAGES := build-essential cmake debhelper dpkg-dev lintian man-db
PREFIX ?= /usr/local

.PHONY: demo install test test-packages test-asan test-portable test-big-endian bench bench-patch bench-apply bench-apply-xdelta bench-make bench-tree bench-scan bench-extract fuzz fuzz-build fuzz-ci \
        deb deb-packages deb-check windows windows-packages windows-lzma test-windows windows-zip \
        web web-packages web-npm test-web bench-web clean

# Installs those of the Debian packages $(1) the machine lacks (apt-get as
# root); otherwise prints the command to run and stops.
define need_packages
@missing=""; for p in $(1); do \
  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
done; \
if [ -n "$$missing" ]; then \
  if [ "$$(id -u)" = 0 ]; then \
    DEBIAN_FRONTEND=noninteractive apt-get update -qq && \
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
  else \
    echo "These Debian packages are needed:$$missing"; \
    echo "Install them with: sudo apt-get install$$missing"; exit 1; \
  fi; \
fi
endef

# Needs only cmake and a C++ compiler: the demo preset leaves tests and
# benchmarks out.
demo:
	cmake --preset demo >/dev/null
	cmake --build --preset demo -j2 --target corvane mkimage
	mkdir -p $(DEMO)
	build/demo-build/mkimage sample $(DEMO)
	cp $(DEMO)/sample.bin $(DEMO)/sample.orig.bin
	$(CORVANE) -l x $(DEMO)/sample.bin
	$(CORVANE) -n TITLE.TXT\;1 -p $(DEMO)/title.ppf -d "corvane demo" $(DEMO)/title_new.txt $(DEMO)/sample.bin
	$(CORVANE) -n TITLE.TXT\;1 -v $(DEMO)/title_new.txt $(DEMO)/title_new.txt $(DEMO)/sample.bin | tail -n 3
	@cmp -s $(DEMO)/sample.bin $(DEMO)/sample.orig.bin && echo "image unchanged?!" || \
	  echo "Patched $(DEMO)/sample.bin (original kept as $(DEMO)/sample.orig.bin, PPF in $(DEMO)/title.ppf)"

# The tool alone, built as the demo builds it (cmake and a compiler), then
# `cmake --install` under PREFIX (DESTDIR is honoured): bin/corvane and
# share/man/man1/corvane.1.
install:
	cmake --preset demo >/dev/null
	cmake --build --preset demo -j2 --target corvane
	cmake --install build/demo-build --prefix $(PREFIX)

# The page's test joins in where emscripten and Chromium are installed.
test: test-packages
	cmake --preset dev >/dev/null
	cmake --build --preset dev -j2
	ctest --preset dev -j2
	@if command -v emcc >/dev/null && [ -x /usr/bin/chromium-headless-shell ]; then $(MAKE) test-web; \
	else echo "test-web skipped: emscripten or chromium-headless-shell is not installed"; fi

test-packages:
	$(call need_packages,$(TEST_PACKAGES))

test-asan: test-packages
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j2
	ctest --preset asan -j2

# The POSIX fallbacks alone (none of the calls of Linux), built on Linux and
# run through every test; the golden rows marked linux-only are skipped.
test-portable: test-packages
	cmake --preset portable >/dev/null
	cmake --build --preset portable -j2
	ctest --preset portable -j2

# s390x cross build, its tests under qemu-s390x, outputs compared with the native build's.
test-big-endian:
	bash tests/big_endian.sh

# The Windows build: build/mingw/corvane.exe, static, from Debian's MinGW-w64
# cross compiler, with liblzma built first.
windows: windows-lzma
	cmake --preset mingw >/dev/null
	cmake --build --preset mingw -j2

windows-packages:
	$(call need_packages,$(WINDOWS_PACKAGES))

# A static liblzma for MinGW-w64 in build/mingw-deps, built from Debian's
# xz-utils source (apt-get source, once, into build/xz-src): needs a deb-src
# line for this Debian release in the apt sources, as .ci/run adds.
windows-lzma: windows-packages
	bash cmake/cross-liblzma.sh mingw

# Its coder tests under wine, and every golden row that has a Windows form run
# by the dev build's golden runner against corvane.exe under wine. (The dev
# preset runs these too, as one of its tests, where the packages are here.)
test-windows: windows test-packages
	cmake --preset dev >/dev/null
	cmake --build --preset dev -j2 --target corvane_tests
	ctest --preset mingw -j2

# The release zip, build/corvane-VERSION-windows-x86_64.zip: corvane.exe
# stripped, README.txt (doc/README-windows.txt), the man page as plain ASCII
# text (corvane.txt) and LICENSE.txt, the texts with CRLF line ends. Then
# .ci/windows-zip-check checks the zip and runs its corvane.exe under wine.
WINDOWS_ZIP := build/corvane-$(shell awk '/^project/ {print $$3}' CMakeLists.txt)-windows-x86_64.zip
# LF to CRLF, for text read with Notepad.
crlf = sed 's/$$/\r/'
windows-zip: windows
	rm -rf build/windows-zip $(WINDOWS_ZIP) && mkdir -p build/windows-zip/corvane
	x86_64-w64-mingw32-strip -o build/windows-zip/corvane/corvane.exe build/mingw/corvane.exe
	$(crlf) doc/README-windows.txt > build/windows-zip/corvane/README.txt
	$(crlf) LICENSE > build/windows-zip/corvane/LICENSE.txt
	groff -man -Tascii -P-cbou doc/corvane.1 | LC_ALL=C tr -d '\200-\377' | $(crlf) > build/windows-zip/corvane/corvane.txt
	cd build/windows-zip && cmake -E tar cf $(CURDIR)/$(WINDOWS_ZIP) --format=zip corvane
	bash .ci/windows-zip-check $(WINDOWS_ZIP) build/mingw/mkimage.exe
	@echo "Made $(WINDOWS_ZIP)"

# The patcher page in build/web (a static folder: any web host, or opened
# from file://): the apply and check runs built by emscripten, with liblzma
# cross-built first from Debian's xz-utils source as for Windows.
web: web-packages
	bash cmake/cross-liblzma.sh web
	emcmake cmake -S . -B build/web-build -DCMAKE_BUILD_TYPE=Release -DCORVANE_WERROR=ON \
	  -DCORVANE_TESTS=OFF -DCORVANE_BENCHMARKS=OFF -DCORVANE_PORTABLE_POSIX=ON \
	  -Dliblzma_DIR=$(CURDIR)/build/web-deps/lib/cmake/liblzma -DCORVANE_WEB_SITE=$(CURDIR)/build/web >/dev/null
	cmake --build build/web-build -j2 --target corvane_page
	@echo "The page is in build/web: open build/web/index.html, or put the folder on any web host"

web-packages:
	$(call need_packages,$(WEB_PACKAGES))

# Debian's npm, where no npm came with node.
web-npm:
	$(call need_packages,npm)

# playwright-core, pinned by web/package-lock.json, in build/web-node.
WEB_NODE := build/web-node/node_modules/playwright-core
$(WEB_NODE): web/package.json web/package-lock.json
	@command -v npm >/dev/null || $(MAKE) web-npm
	mkdir -p build/web-node && cp web/package.json web/package-lock.json build/web-node/
	cd build/web-node && npm ci --no-audit --no-fund --loglevel=error
	touch $@

# The page in headless Chromium, through its own controls, against the
# native tool (the demo build) on the same inputs.
test-web: web
	$(call need_packages,$(WEB_TEST_PACKAGES))
	$(MAKE) $(WEB_NODE)
	cmake --preset demo >/dev/null
	cmake --build --preset demo -j2 --target corvane mkimage
	bash web/test/test-web.sh build/web build/demo-build/corvane build/demo-build/mkimage build/web-node/node_modules

# A large image patched in headless Chromium against the native -a.
bench-web: web
	$(call need_packages,$(WEB_TEST_PACKAGES) genisoimage)
	$(MAKE) $(WEB_NODE)
	cmake --preset release >/dev/null
	cmake --build --preset release -j2 --target corvane mkimage
	bench/web_apply.sh

# The coder's benchmarks, then the large-image rows (an image of about 780 MB).
bench:
	cmake --preset release >/dev/null
	cmake --build --preset release -j2
	build/release/bench/corvane_bench
	bench/large_vs_cp.sh

bench-apply:
	cmake --preset release >/dev/null
	cmake --build --preset release -j2 --target corvane mkimage
	bench/apply_vs_cp.sh

bench-apply-xdelta:
	cmake --preset release >/dev/null
	cmake --build --preset release -j2 --target corvane mkimage
	bench/apply_xdelta_vs_cp.sh

bench-make:
	cmake --preset release >/dev/null
	cmake --build --preset release -j2 --target corvane mkimage
	bench/make_vs_cmp.sh

bench-tree:
	cmake --preset release >/dev/null
	cmake --build --preset release -j2 --target corvane mkimage
	bench/tree_vs_cp.sh

bench-patch:
	cmake --preset release >/dev/null
	cmake --build --preset release -j2 --target corvane mkimage
	bench/patch_vs_cp.sh

bench-extract:
	cmake --preset release >/dev/null
	cmake --build --preset release -j2 --target corvane mkimage
	bench/extract_vs_cp.sh

bench-scan:
	cmake --preset release >/dev/null
	cmake --build --preset release -j2 --target corvane mkimage
	bench/scan_vs_cat.sh

# Every target with a seed corpus in fuzz/corpus/NAME (dir_walker,
# patch_loop) runs for FUZZ_SECONDS on a copy of that corpus
# (build/fuzz/corpus/NAME), with the libFuzzer options in fuzz/NAME.options if
# there is one; inputs that fail go to build/fuzz/crashes. `make fuzz` stops at
# the first finding; `make fuzz-ci` runs every target, then fails if any found
# something.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := $(notdir $(wildcard fuzz/corpus/*))
define fuzz_one
rm -rf build/fuzz/corpus/$$t; mkdir -p build/fuzz/corpus/$$t; \
cp fuzz/corpus/$$t/* build/fuzz/corpus/$$t/; \
echo "== $$t: $(FUZZ_SECONDS) s"; \
build/fuzz/fuzz/$${t}_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
  $$(cat fuzz/$$t.options 2>/dev/null) \
  -artifact_prefix=build/fuzz/crashes/$$t- build/fuzz/corpus/$$t
endef

fuzz-build:
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j2
	@rm -rf build/fuzz/crashes; mkdir -p build/fuzz/crashes

fuzz: fuzz-build
	@set -e; for t in $(FUZZ_TARGETS); do $(fuzz_one); done

fuzz-ci: fuzz-build
	@failed=""; for t in $(FUZZ_TARGETS); do $(fuzz_one) || failed="$$failed $$t"; done; \
	if [ -n "$$failed" ]; then \
	  echo "fuzz findings in:$$failed"; ls -l build/fuzz/crashes; exit 1; \
	fi; \
	echo "fuzz: no findings in $(FUZZ_TARGETS)"

# The Debian package, built by dpkg-buildpackage in a copy of the tree
# (build/deb/tree), so that its results land in build/deb/ and nothing is
# written outside build/.
deb: deb-packages
	rm -rf build/deb && mkdir -p build/deb/tree
	tar -c --exclude=./build --exclude=./.git . | tar -x -C build/deb/tree
	cd build/deb/tree && dpkg-buildpackage -us -uc -b
	@ls build/deb/*.deb

deb-packages:
	$(call need_packages,$(DEB_PACKAGES))

# The package checked by lintian, unpacked into a scratch folder and run.
deb-check: deb
	bash .ci/deb-check

clean:
	rm -rf build
