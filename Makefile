# Two commands do all set-up on a fresh Debian 12 machine:
#   make test   install missing packages, build with sanitizers (build/), run every test
#   make run    install missing packages, build for use (build-release/), start a classroom server
BUILD    ?= build
SANITIZE ?= ON
RUN_BUILD   ?= build-release
BENCH_BUILD ?= build-bench
PACKAGE_BUILD ?= build-package
JOBS     ?= $(shell nproc)
ARGS     ?=
CMAKE_FLAGS ?=

.PHONY: all deps configure build test run release bench fuzz package package-test format format-check clean

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

# Debian packages of every deliverable (build-package/*.deb), built with
# Debian's hardening flags and installed under /usr.
package: export DEB_BUILD_MAINT_OPTIONS = hardening=+all
package: deps
	cmake -S . -B $(PACKAGE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_INSTALL_PREFIX=/usr -DCLASSROOM_SANITIZE=OFF -DCLASSROOM_TESTS=OFF \
	    -DCLASSROOM_BENCH=OFF -DCMAKE_CXX_FLAGS="$$(dpkg-buildflags --get CXXFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" \
	    -DCMAKE_EXE_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS)" \
	    -DCMAKE_SHARED_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS)" $(CMAKE_FLAGS)
	cmake --build $(PACKAGE_BUILD) -j $(JOBS)
	cd $(PACKAGE_BUILD) && cpack -G DEB

# The packages installed into a clean Debian 12 root filesystem, a server
# started there and a client admitted from outside; lintian and the unit check.
package-test: package
	@bash tools/package-test.sh $(PACKAGE_BUILD)

fuzz: deps
	@bash tools/fuzz.sh $(BUILD)/fuzz

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

# Fails, naming the files, when a tracked source is not as clang-format leaves it.
format-check: deps
	@bash tools/format-check.sh

clean:
	rm -rf $(BUILD) $(RUN_BUILD) $(BENCH_BUILD) $(PACKAGE_BUILD)
