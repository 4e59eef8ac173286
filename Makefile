# Top-level commands. Each target installs the Debian packages it needs first (idempotent).
#   make build   the shipped binaries in build/bin/
#   make test    the include direction and style checks, then the whole test suite under Wine and Xvfb
# test, demo and bench run Wine here where this machine executes i386 programs, else in an
# emulated Debian guest (scripts/wine-place.sh says which, tests/guest/; KDM_GUEST=1 forces it).
#   make demo    the program against the local reference server
#   make bench   transfer, verification and memory against their floors; writes docs/performance.md
#   make release the signed shipped binaries in dist/, built twice and compared (see README.md)
#   make clang   the program and every test program built with clang and lld instead, warnings as
#                errors, in $(CLANG_BUILD)/ (a check of the code; the shipped binaries are GNU's)
#   make bench-server  the selector's and the origin's capacity on loopback with wrk; writes
#                docs/server-performance.md (binds loopback ports: run it under the suite lock)
BUILD ?= build
CLANG_BUILD ?= build-clang
DIST ?= dist
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release

.PHONY: all deps configure build test clang demo bench bench-server release clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS) --target kdm_shipped_exe kdm_shipped_dll
	@echo "Built: $(BUILD)/bin/KestruneDownloadManager.exe $(BUILD)/bin/KestruneDownloadManager.dll"

test: configure
	@scripts/check-includes.py
	@scripts/check-style.sh
	@cmake --build $(BUILD) -j $(JOBS)
	@tests/run-tests.sh $(BUILD)

clang: deps
	@cmake -S . -B $(CLANG_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/clang-i686.cmake $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(CLANG_BUILD) -j $(JOBS)

demo: configure
	@scripts/demo.sh $(BUILD) $(JOBS)

bench: configure
	@bench/run.sh $(BUILD) $(JOBS)

release: deps
	@scripts/release.sh $(BUILD) $(DIST) $(JOBS)

bench-server: deps
	@bench/server-load.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(CLANG_BUILD)
