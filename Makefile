# Two commands do all set-up on a fresh Debian 12 machine:
#   make test   install missing packages, build with sanitizers (build/), run every test
#   make run    install missing packages, build for use (build-release/), start a classroom server
BUILD    ?= build
SANITIZE ?= ON
RUN_BUILD   ?= build-release
BENCH_BUILD ?= build-bench
JOBS     ?= $(shell nproc)
ARGS     ?=
CMAKE_FLAGS ?=

.PHONY: all deps configure build test run release bench fuzz format clean

all: build

deps:
	@bash tools/install-deps.sh

# The test build: Debug with AddressSanitizer and UndefinedBehaviorSanitizer.
$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	    -DCLASSROOM_SANITIZE=$(SANITIZE) -DCLASSROOM_WERROR=ON $(CMAKE_FLAGS)

configure: $(BUILD)/build.ninja

build: deps configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The build a school runs for hours: optimised, no sanitizers, no tests.
release: deps
	cmake -S . -B $(RUN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DCLASSROOM_SANITIZE=OFF -DCLASSROOM_TESTS=OFF -DCLASSROOM_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(RUN_BUILD) -j $(JOBS)

run: release
	@bash tools/run.sh $(RUN_BUILD) $(ARGS)

bench: deps
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DCLASSROOM_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	@bash tools/bench.sh $(BENCH_BUILD)

fuzz: deps
	@bash tools/fuzz.sh $(BUILD)/fuzz

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(RUN_BUILD) $(BENCH_BUILD)
