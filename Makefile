# Entry points. `make test` and `make demo` install what is missing first.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
TSAN_BUILD ?= build-tsan
FUZZ_SECONDS ?= 60
JOBS       ?= $(shell nproc)

.PHONY: all deps build build-asan build-fuzz build-tsan test test-fast test-tsan fuzz fuzz-smoke demo bench lint format clean \
        package package-test

all: build

deps:
	./scripts/install-deps.sh

# The four configurations are the presets of CMakePresets.json.
$(BUILD)/build.ninja:
	cmake --preset normal -B $(BUILD)

$(ASAN_BUILD)/build.ninja:
	cmake --preset asan -B $(ASAN_BUILD)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# The core and the libFuzzer programs only (clang, ASan+UBSan), no Qt.
$(FUZZ_BUILD)/build.ninja:
	cmake --preset fuzz -B $(FUZZ_BUILD)

build-fuzz: deps $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

# The core, kelvora-cli, kelvora-sim and the tests without windows (clang,
# ThreadSanitizer), no Qt.
$(TSAN_BUILD)/build.ninja:
	cmake --preset tsan -B $(TSAN_BUILD)

build-tsan: deps $(TSAN_BUILD)/build.ninja
	cmake --build $(TSAN_BUILD) -j $(JOBS)

# Every test of the thread-sanitizer build; the first race report fails its test.
# Without address randomisation where the system allows it: this clang's TSan
# cannot map its shadow under the high-entropy randomisation of some kernels.
test-tsan: build-tsan
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  $$(setarch $$(uname -m) -R true 2>/dev/null && echo setarch $$(uname -m) -R) ctest --output-on-failure -j $(JOBS)

# Every fuzz program for FUZZ_SECONDS seconds, after the kept crash inputs.
fuzz: build-fuzz
	./scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# A few seconds per program plus the kept crash inputs: the check `make test` runs.
fuzz-smoke: build-fuzz
	./scripts/fuzz.sh $(FUZZ_BUILD) 3

# The Debian package, $(BUILD)/kelvora_VERSION_ARCH.deb, from the install rules
# (package/CMakeLists.txt); install it with `sudo apt install ./$(BUILD)/kelvora_*.deb`.
package: build
	rm -f $(BUILD)/kelvora_*.deb
	cd $(BUILD) && cpack -G DEB

# The package checked: lintian, the desktop entry, the AppStream metadata, the man
# pages, the completion, and the unpacked programs run from a scratch folder.
package-test: package
	./scripts/package-test.sh $(BUILD)

# Every test in the normal build and the package's checks, then the same tests under
# ASan+UBSan, the fuzz smoke check, and the tests without windows under ThreadSanitizer.
test: build build-asan
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) package-test
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)
	$(MAKE) fuzz-smoke
	$(MAKE) test-tsan

# Only the normal build, for quick iterations.
test-fast: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# clang-tidy over the programs' sources with the checks of .clang-tidy.
lint: build
	run-clang-tidy -p $(BUILD) -j $(JOBS) -quiet '$(CURDIR)/(src|sim)/'

# Lays every C++ source out as .clang-format says (the tests check it).
format: deps
	./scripts/check-format.sh --fix

bench: build
	./scripts/run-benchmarks.sh $(BUILD)

demo: build
	./scripts/demo.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(TSAN_BUILD)
