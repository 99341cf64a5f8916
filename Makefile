# Two commands set everything up from a clean checkout on Debian 12 or 13:
#   make run    installs what building and running need, builds, and starts the program
#   make test   installs that and what the tests need, builds, and runs every test: the
#               ordinary build, a build under AddressSanitizer and UBSan, and a bounded
#               fuzz run
# Two more check the machines users have, and are not part of make test:
#   make test-debian13   make test from a clean clone inside a Debian 13 root
#   make test-arm64      an arm64 cross-build, its headless tests run under qemu
#   make test-windows    a 64-bit Windows cross-build (MinGW-w64), its tests run under Wine
#   make package-windows the Windows installer and ZIP, the installer tried under Wine

BUILD_DIR ?= build
SANITIZE_DIR ?= build-sanitize
FUZZ_DIR ?= build-fuzz
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
# How long the fuzz run of `make test` may take, and how many inputs at most.
FUZZ_SECONDS ?= 30
FUZZ_RUNS ?= 20000

.PHONY: all deps test-deps build run test test-ordinary test-sanitize test-fuzz test-debian13 test-arm64 test-windows package-windows bench package clean

all: build

deps:
	@./scripts/install-deps.sh

test-deps:
	@./scripts/install-deps.sh --test

# make run builds the program and its tools alone; the tests' build adds the tests,
# whose packages only make test installs.
BUILD_TESTING ?= OFF
build: deps
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) -DBUILD_TESTING=$(BUILD_TESTING)
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	./$(BUILD_DIR)/src/app/veltra

# The ordinary suite runs last, so that its summary closes the output.
test: test-deps
	$(MAKE) --no-print-directory test-fuzz
	$(MAKE) --no-print-directory test-sanitize
	$(MAKE) --no-print-directory test-ordinary

test-ordinary: test-deps
	$(MAKE) --no-print-directory build BUILD_TESTING=ON
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

test-sanitize: test-deps
	cmake -S . -B $(SANITIZE_DIR) $(CMAKE_FLAGS) -DVELTRA_SANITIZE=ON
	cmake --build $(SANITIZE_DIR) -j $(JOBS)
	cd $(SANITIZE_DIR) && ctest --output-on-failure -j $(JOBS)

# libFuzzer needs clang; the set-up script installs it. The corpus in the repository is
# only read: new inputs the run finds go to a scratch folder inside the build.
test-fuzz: test-deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) $(CMAKE_FLAGS) -DVELTRA_FUZZ=ON
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	rm -rf $(FUZZ_DIR)/corpus && mkdir -p $(FUZZ_DIR)/corpus $(FUZZ_DIR)/artifacts
	OPENCV_VIDEOIO_PRIORITY_GPHOTO2=0 $(FUZZ_DIR)/fuzz/fuzz_tracking \
		-max_total_time=$(FUZZ_SECONDS) -runs=$(FUZZ_RUNS) -max_len=4096 -rss_limit_mb=4096 \
		-artifact_prefix=$(FUZZ_DIR)/artifacts/ $(FUZZ_DIR)/corpus fuzz/corpus

test-debian13:
	./scripts/test-debian13.sh

test-arm64:
	./scripts/test-arm64.sh

test-windows:
	./scripts/test-windows.sh

# build-windows/veltra-<version>-win64.exe and .zip
package-windows:
	./scripts/package-windows.sh

# build/veltra_<version>_<arch>.deb
package: build
	cd $(BUILD_DIR) && cpack -G DEB

bench: build
	./$(BUILD_DIR)/bench/veltra-bench --csv $(BUILD_DIR)/bench.csv > /dev/null

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(FUZZ_DIR) build-arm64 build-windows
