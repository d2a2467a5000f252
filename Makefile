# Thin wrapper over CMake. Every target first makes sure the Debian packages are there.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 180
JOBS       ?= $(shell nproc)

.PHONY: all deps build test test-asan demo samples corpus fuzz-build fuzz fuzz-replay leak-check measure-memory clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPIXSIEVE_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

# The demo works on a copy under build/, so the tool's output never lands in the source tree.
demo: build
	@rm -rf $(BUILD)/demo && mkdir -p $(BUILD)/demo && cp samples/*.swf $(BUILD)/demo/
	@cd $(BUILD)/demo && ../pixsieve *.swf
	@echo; echo "Extracted into $(BUILD)/demo:"; ls -l $(BUILD)/demo/*_res

# Regenerates the bundled sample movie from its generator.
samples: build
	@$(BUILD)/make-sample samples/sample.swf

# Regenerates the fuzz seed corpora under fuzz/corpus from our own writers.
corpus: build
	@rm -rf fuzz/corpus && $(BUILD)/make-corpus fuzz/corpus

# The libFuzzer targets, built with clang under AddressSanitizer and UBSan.
fuzz-build: deps
	@scripts/install-deps.sh fuzz
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPIXSIEVE_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS)

# Fuzzes every target for FUZZ_SECONDS each and reports executions and coverage.
fuzz: fuzz-build
	@FUZZ_BUILD=$(FUZZ_BUILD) scripts/fuzz.sh run $(FUZZ_SECONDS)

# Runs every seed and regression input once through its target.
fuzz-replay: fuzz-build
	@FUZZ_BUILD=$(FUZZ_BUILD) scripts/fuzz.sh replay

# One valgrind run of the tool over the sample and seed movies; fails on any leak.
leak-check: build
	@scripts/install-deps.sh check
	@scripts/leak-check.sh $(BUILD)

# Peak memory per movie and over many movies (/usr/bin/time -v); not part of the tests.
measure-memory: build
	@scripts/measure-memory.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
