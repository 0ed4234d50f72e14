# mervix: the two everyday commands are `make run` and `make test`.
# Both install what a fresh Debian 12 machine lacks, then configure and build.

BUILD_DIR  ?= build
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: all deps configure build run test bench demo clean fuzz test-sanitize soak package test-windows \
        package-windows qt-windows

all: build

deps:
	@bash scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD_DIR) $(CMAKE_ARGS)

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# The window program; without a display, set QT_QPA_PLATFORM=offscreen or use xvfb-run.
run: build
	@$(BUILD_DIR)/shell/mervix

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The Debian package mervix_<version>_<arch>.deb, in the build folder:
# install it with `sudo apt install ./$(BUILD_DIR)/mervix_*.deb`.
package: build
	@cd $(BUILD_DIR) && cpack -G DEB

# Qt 6.4.2 for Windows, cross-built with MinGW-w64 from Debian's qt6-base
# source (about 25 minutes with two jobs), for the window on Windows. It
# goes into MERVIX_QT_WINDOWS (default ~/.cache/mervix/qt-6.4.2-mingw64),
# outside the clone, and is reused while it is there (scripts/qt-windows).
qt-windows:
	@JOBS=$(JOBS) bash scripts/qt-windows

# The Windows build: cross-built with MinGW-w64 into build-windows (the
# compiler and Wine are installed when missing), its unit tests run under
# Wine, then downloads between the Windows and the Linux programs and the
# conversions and compress compared byte for byte (scripts/test-windows).
test-windows: deps
	@JOBS=$(JOBS) BUILD_DIR=$(BUILD_DIR) bash scripts/test-windows

# build-windows/mervix-<version>-windows-x64.zip: mervix-cli.exe,
# mervix-devsim.exe, the README and the licence.
package-windows: deps
	@JOBS=$(JOBS) bash scripts/package-windows

bench: build
	@bash scripts/run-benchmarks $(BUILD_DIR)

demo: build
	@bash scripts/demo $(BUILD_DIR)

# The fuzz targets built with clang and libFuzzer in build-fuzz, each run
# for FUZZ_SECONDS (default 60); prints the executions and findings per
# target.
fuzz: deps
	@bash scripts/fuzz

# The whole test suite built with AddressSanitizer and UndefinedBehavior-
# Sanitizer in build-sanitize; any report fails it.
test-sanitize: deps
	@JOBS=$(JOBS) bash scripts/test-sanitize

# 500 runs through mervix-cli (one in ten against a device with a fault) and
# 100 through one window process (one in ten stopped, one in ten with a
# fault) against the simulator, with descriptors and memory compared at the
# start, the middle and the end, and one compressed download under valgrind
# memcheck. Not part of `make test`.
soak: build
	@bash scripts/soak $(BUILD_DIR)

clean:
	@rm -rf $(BUILD_DIR)
