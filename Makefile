# Two commands do all set-up on a fresh Debian 12 machine:
#   make test   install missing packages, build, run every test through ctest
#   make run    install missing packages, build, start a classroom server
BUILD    ?= build
SANITIZE ?= ON
JOBS     ?= $(shell nproc)
ARGS     ?=
CMAKE_FLAGS ?=

.PHONY: all deps configure build test run bench fuzz format clean

all: build

deps:
	@bash tools/install-deps.sh

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	    -DCLASSROOM_SANITIZE=$(SANITIZE) -DCLASSROOM_WERROR=ON $(CMAKE_FLAGS)

configure: $(BUILD)/build.ninja

build: deps configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

run: build
	@bash tools/run.sh $(BUILD) $(ARGS)

bench: deps
	cmake -S . -B $(BUILD)-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DCLASSROOM_TESTS=OFF
	cmake --build $(BUILD)-bench -j $(JOBS)
	@bash tools/bench.sh $(BUILD)-bench

fuzz: deps
	@bash tools/fuzz.sh $(BUILD)/fuzz

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(BUILD)-bench
