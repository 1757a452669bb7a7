# Thin wrappers around CMake. `make run` builds the tool and lists the bundled sample tree;
# `make test` builds and runs every test.

BUILD          ?= build
SANITIZE_BUILD ?= build-sanitize
TSAN_BUILD     ?= build-tsan
FUZZ_BUILD     ?= build-fuzz
WINDOWS_BUILD  ?= build-mingw64
WINDOWS32_BUILD ?= build-mingw32
PACKAGE_BUILD  ?= build-package
DIST           ?= dist
PREFIX         ?= /usr/local
JOBS           ?= $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS   ?= 60
GENERATOR      := $(if $(shell command -v ninja 2>/dev/null),-G Ninja,)
VERSION        := $(shell grep -m1 -o 'quillet VERSION [0-9.]*' CMakeLists.txt | cut -d' ' -f3)
WINDOWS_ZIP    := quillet-$(VERSION)-windows

.PHONY: all build run test test-sanitize test-tsan fuzz fuzz-build windows test-windows install bench \
        package package-windows check-packages clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Only what the sample run needs: the tool and the maker of the sample tree.
run: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target quillet make_sample_tree
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

$(TSAN_BUILD)/CMakeCache.txt:
	cmake -S . -B $(TSAN_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DQUILLET_THREAD_SANITIZE=ON

# ThreadSanitizer looks for races between the read-ahead's threads, which every test but four runs
# through; the four left out are the long adversarial walks of the hostile tree (links swapped in
# a loop, kernel-deep paths, a name switched to a FIFO, interrupted runs), slow under its
# instrumentation and run plainly and under AddressSanitizer.
TSAN_EXCLUDED := HostileTree\.(DirectoriesSwappedForLinks|PathsLongerThanTheKernel|ANameSwitchedToAFifo|AnInterruptedRun)

test-tsan: $(TSAN_BUILD)/CMakeCache.txt
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS) -E '$(TSAN_EXCLUDED)'

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

# The Debian package, built with CPack in a build of its own without the tests.
$(PACKAGE_BUILD)/CMakeCache.txt:
	cmake -S . -B $(PACKAGE_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DQUILLET_TESTS=OFF

package: $(PACKAGE_BUILD)/CMakeCache.txt
	cmake --build $(PACKAGE_BUILD) -j $(JOBS)
	cd $(PACKAGE_BUILD) && cpack -G DEB
	mkdir -p $(DIST)
	cp $(PACKAGE_BUILD)/quillet_$(VERSION)_*.deb $(DIST)/
	@ls -l $(DIST)/quillet_$(VERSION)_*.deb

# The Windows zip: the three programs (static, so nothing else is needed), the README and the license,
# as text with CR LF line ends.
package-windows: $(WINDOWS_BUILD)/CMakeCache.txt $(WINDOWS32_BUILD)/CMakeCache.txt
	cmake --build $(WINDOWS_BUILD) -j $(JOBS) --target quillet quillet-compare quillet-inventory
	cmake --build $(WINDOWS32_BUILD) -j $(JOBS) --target quillet quillet-compare quillet-inventory
	rm -rf $(PACKAGE_BUILD)/zip && mkdir -p $(PACKAGE_BUILD)/zip/$(WINDOWS_ZIP)/x86_64 \
	    $(PACKAGE_BUILD)/zip/$(WINDOWS_ZIP)/i686 $(DIST)
	cp $(WINDOWS_BUILD)/quillet.exe $(WINDOWS_BUILD)/quillet-compare.exe $(WINDOWS_BUILD)/quillet-inventory.exe \
	    $(PACKAGE_BUILD)/zip/$(WINDOWS_ZIP)/x86_64/
	cp $(WINDOWS32_BUILD)/quillet.exe $(WINDOWS32_BUILD)/quillet-compare.exe $(WINDOWS32_BUILD)/quillet-inventory.exe \
	    $(PACKAGE_BUILD)/zip/$(WINDOWS_ZIP)/i686/
	sed 's/$$/\r/' README.md > $(PACKAGE_BUILD)/zip/$(WINDOWS_ZIP)/README.txt
	sed 's/$$/\r/' LICENSE > $(PACKAGE_BUILD)/zip/$(WINDOWS_ZIP)/LICENSE.txt
	rm -f $(DIST)/$(WINDOWS_ZIP).zip
	cd $(PACKAGE_BUILD)/zip && cmake -E tar cf $(abspath $(DIST))/$(WINDOWS_ZIP).zip --format=zip $(WINDOWS_ZIP)
	@ls -l $(DIST)/$(WINDOWS_ZIP).zip

# Installs the package, runs it from PATH, removes it again, and runs the zipped program under Wine.
check-packages: package package-windows run
	packaging/check $(DIST) $(VERSION) $(BUILD)

bench: build
	bench/run $(BUILD)
	bench/images $(BUILD)
	bench/signatures $(BUILD) $(BENCH_BASELINE)

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(WINDOWS_BUILD) $(WINDOWS32_BUILD) \
	    $(PACKAGE_BUILD) $(DIST)
