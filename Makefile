# Thin wrapper over CMake. Every target first makes sure the Debian packages are there.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
WIN_BUILD  ?= build-win
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 180
JOBS       ?= $(shell nproc)
# What every build here adds: the tests, and warnings as errors.
CONFIGURE  = -DPIXSIEVE_TESTS=ON -DPIXSIEVE_WERROR=ON

.PHONY: all deps deps-windows configure build test test-asan test-tsan install-check windows test-windows demo samples \
        bench corpus fuzz-build fuzz fuzz-replay leak-check measure-memory format-check format clean

all: build

deps:
	@scripts/install-deps.sh

deps-windows:
	@scripts/install-deps.sh windows

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CONFIGURE) >/dev/null

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: deps
	@cmake -S . -B $(ASAN_BUILD) $(CONFIGURE) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DPIXSIEVE_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

# The tests of the code that threads share (their own binary), under ThreadSanitizer.
test-tsan: deps
	@cmake -S . -B $(TSAN_BUILD) $(CONFIGURE) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DPIXSIEVE_TSAN=ON >/dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS) --target pixsieve_thread_tests
	@cd $(TSAN_BUILD) && ctest --output-on-failure -j $(JOBS) -L threads

# The packager's build (no tests), installed into a temporary prefix and checked there.
PACKAGE_BUILD ?= build-package
install-check: deps
	@JOBS=$(JOBS) scripts/install-check.sh $(PACKAGE_BUILD)

# The Windows programs, cross-compiled: $(WIN_BUILD)/pixsieve.exe and pixsieve-edit.exe.
windows: deps-windows
	@cmake -S . -B $(WIN_BUILD) $(CONFIGURE) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(WIN_BUILD) -j $(JOBS) --target pixsieve pixsieve-edit

# The Windows unit tests, then the Linux command-line suites against the .exe files, under wine.
test-windows: windows build
	@cmake --build $(WIN_BUILD) -j $(JOBS) --target pixsieve_tests
	@scripts/test-windows.sh $(BUILD) $(WIN_BUILD)

# The demo builds only the tool and works on a copy under build/, so the tool's output never
# lands in the source tree.
demo: configure
	@cmake --build $(BUILD) -j $(JOBS) --target pixsieve
	@rm -rf $(BUILD)/demo && mkdir -p $(BUILD)/demo && cp samples/*.swf $(BUILD)/demo/
	@cd $(BUILD)/demo && ../pixsieve *.swf
	@echo; echo "Extracted into $(BUILD)/demo:"; ls -l $(BUILD)/demo/*_res

# Benchmarks against libpng, libjpeg-turbo, iconv, libdeflate and a zlib floor program; prints
# one table of ratios. Built in its own tree, never part of test or CI. BENCH_ARGS passes
# options to bench/report.py (e.g. BENCH_ARGS="--rounds 5").
BENCH_BUILD ?= build-bench
bench:
	@scripts/install-deps.sh bench
	@cmake -S . -B $(BENCH_BUILD) $(CONFIGURE) -DCMAKE_BUILD_TYPE=Release -DPIXSIEVE_BENCH=ON >/dev/null
	@cmake --build $(BENCH_BUILD) -j $(JOBS) --target pixsieve codec-bench bench-corpus zlib-floor png-resave
	@python3 bench/report.py $(BENCH_BUILD) $(BENCH_ARGS)

# Regenerates the bundled sample movie from its generator.
samples: build
	@$(BUILD)/make-sample samples/sample.swf

# Regenerates the fuzz seed corpora under fuzz/corpus from our own writers.
corpus: build
	@rm -rf fuzz/corpus && $(BUILD)/make-corpus fuzz/corpus

# The libFuzzer targets, built with clang under AddressSanitizer and UBSan.
fuzz-build: deps
	@scripts/install-deps.sh fuzz
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DPIXSIEVE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPIXSIEVE_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS)

# Fuzzes every target for FUZZ_SECONDS each and reports executions and coverage.
fuzz: fuzz-build
	@FUZZ_BUILD=$(FUZZ_BUILD) scripts/fuzz.sh run $(FUZZ_SECONDS)

# Runs every seed and regression input once through its libFuzzer target. CI leaves it out:
# the test suite replays the same inputs through the same target code (plain and ASan).
fuzz-replay: fuzz-build
	@FUZZ_BUILD=$(FUZZ_BUILD) scripts/fuzz.sh replay

# One valgrind run of the tool over the sample and seed movies; fails on any leak.
leak-check: build
	@scripts/install-deps.sh check
	@scripts/leak-check.sh $(BUILD)

# Peak memory per movie and over many movies (/usr/bin/time -v); not part of the tests.
measure-memory: build
	@scripts/measure-memory.sh $(BUILD)

# Whether every C++ source follows .clang-format (generated tables excepted): names the files
# that do not. `make format` rewrites them.
FORMAT_FILES = $(shell git ls-files '*.cpp' '*.h' ':!:src/text/charset_tables.cpp')
format-check:
	@scripts/install-deps.sh format
	@clang-format --style=file --dry-run $(FORMAT_FILES) 2>&1 | sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: warning: code should be clang-formatted.*/\1/p' \
	  | sort -u > .format-check.out; \
	if [ -s .format-check.out ]; then sed 's/^/format-check: /' .format-check.out; rm -f .format-check.out; \
	  echo "format-check: these files differ from .clang-format; make format rewrites them"; exit 1; fi; \
	rm -f .format-check.out

format:
	@scripts/install-deps.sh format
	@clang-format --style=file -i $(FORMAT_FILES)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(WIN_BUILD) $(BENCH_BUILD) $(FUZZ_BUILD) $(PACKAGE_BUILD)
