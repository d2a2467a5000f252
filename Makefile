# Thin wrapper over CMake. Every target first makes sure the Debian packages are there.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)

.PHONY: all deps build test test-asan demo samples clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DPIXSIEVE_SANITIZE=ON >/dev/null
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

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
