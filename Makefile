# The two commands of the README, plus the sanitizer run and the benchmarks.
MAKEFLAGS += --no-print-directory
DEMO := build/demo
CORVANE := build/release/corvane

.PHONY: demo test test-asan bench bench-patch clean

demo:
	cmake --preset release >/dev/null
	cmake --build --preset release -j2 --target corvane mkimage
	mkdir -p $(DEMO)
	build/release/mkimage sample $(DEMO)
	cp $(DEMO)/sample.bin $(DEMO)/sample.orig.bin
	$(CORVANE) -l x $(DEMO)/sample.bin
	$(CORVANE) -n TITLE.TXT\;1 -p $(DEMO)/title.ppf -d "corvane demo" $(DEMO)/title_new.txt $(DEMO)/sample.bin
	$(CORVANE) -n TITLE.TXT\;1 -v $(DEMO)/title_new.txt $(DEMO)/title_new.txt $(DEMO)/sample.bin | tail -n 3
	@cmp -s $(DEMO)/sample.bin $(DEMO)/sample.orig.bin && echo "image unchanged?!" || \
	  echo "Patched $(DEMO)/sample.bin (original kept as $(DEMO)/sample.orig.bin, PPF in $(DEMO)/title.ppf)"

test:
	cmake --preset dev >/dev/null
	cmake --build --preset dev -j2
	ctest --preset dev -j2

test-asan:
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j2
	ctest --preset asan -j2

bench:
	cmake --preset release >/dev/null
	cmake --build --preset release -j2
	build/release/bench/corvane_bench

bench-patch:
	cmake --preset release >/dev/null
	cmake --build --preset release -j2 --target corvane mkimage
	bench/patch_vs_cp.sh

clean:
	rm -rf build
