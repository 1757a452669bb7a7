# Thin wrappers around CMake. `make run` builds the tool and lists the bundled sample tree;
# `make test` builds and runs every test.

BUILD          ?= build
SANITIZE_BUILD ?= build-sanitize
FUZZ_BUILD     ?= build-fuzz
PREFIX         ?= /usr/local
JOBS           ?= $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS   ?= 60
GENERATOR      := $(if $(shell command -v ninja 2>/dev/null),-G Ninja,)

.PHONY: all build run test test-sanitize fuzz fuzz-build install bench clean

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

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

bench: build
	bench/run $(BUILD)

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(FUZZ_BUILD)
