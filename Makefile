# Thin wrappers around CMake. `make run` builds the tool and lists the bundled sample tree;
# `make test` builds and runs every test.

BUILD          ?= build
SANITIZE_BUILD ?= build-sanitize
FUZZ_BUILD     ?= build-fuzz
WINDOWS_BUILD  ?= build-mingw64
WINDOWS32_BUILD ?= build-mingw32
PREFIX         ?= /usr/local
JOBS           ?= $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS   ?= 60
GENERATOR      := $(if $(shell command -v ninja 2>/dev/null),-G Ninja,)

.PHONY: all build run test test-sanitize fuzz fuzz-build windows test-windows install bench clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/make_sample_tree $(BUILD)/sample-tree
	$(BUILD)/quillet $(BUILD)/sample-tree $(BUILD)/sample-listing.txt
	@echo
	@echo "--- $(BUILD)/sample-listing.txt ---"
	@cat $(BUILD)/sample-listing.txt

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

$(SANITIZE_BUILD)/CMakeCache.txt:
	cmake -S . -B $(SANITIZE_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DQUILLET_SANITIZE=ON

test-sanitize: $(SANITIZE_BUILD)/CMakeCache.txt
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -j $(JOBS)

$(FUZZ_BUILD)/CMakeCache.txt:
	CXX=clang++ cmake -S . -B $(FUZZ_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DQUILLET_FUZZ=ON -DQUILLET_SANITIZE=ON -DQUILLET_TESTS=OFF

fuzz-build: $(FUZZ_BUILD)/CMakeCache.txt
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz: fuzz-build
	fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS)

# The Windows console programs, cross-built with mingw-w64: 32-bit as the tool was first made, and
# 64-bit, whose tests and cross-check against the Linux build run under Wine.
$(WINDOWS_BUILD)/CMakeCache.txt:
	cmake -S . -B $(WINDOWS_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake -DQUILLET_LINUX_BUILD=$(abspath $(BUILD))

$(WINDOWS32_BUILD)/CMakeCache.txt:
	cmake -S . -B $(WINDOWS32_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-i686.cmake -DQUILLET_TESTS=OFF

windows: $(WINDOWS_BUILD)/CMakeCache.txt $(WINDOWS32_BUILD)/CMakeCache.txt
	cmake --build $(WINDOWS_BUILD) -j $(JOBS)
	cmake --build $(WINDOWS32_BUILD) -j $(JOBS)

test-windows: build windows
	ctest --test-dir $(WINDOWS_BUILD) --output-on-failure

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

bench: build
	bench/run $(BUILD)

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(FUZZ_BUILD) $(WINDOWS_BUILD) $(WINDOWS32_BUILD)
