# Front door of the project. `make test` installs what is missing, builds the
# Linux, sanitizer and Windows builds, and runs every test (the Windows ones
# under Wine). `make demo` runs the driver against the PLC simulator.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DKEL_WERROR=ON

.PHONY: all build deps linux windows windows64 asan test test-linux test-asan test-windows demo clean bench

all: build

deps:
	@scripts/install-deps

build: linux windows windows64

linux:
	cmake --preset linux $(CMAKE_FLAGS) >/dev/null
	cmake --build build/linux -j $(JOBS)

windows:
	cmake --preset windows $(CMAKE_FLAGS) >/dev/null
	cmake --build build/windows -j $(JOBS)

# The 32-bit build is the product. Where the kernel runs no 32-bit code its
# Wine tests report skipped, and this 64-bit build runs the same tests.
windows64:
	cmake --preset windows64 $(CMAKE_FLAGS) >/dev/null
	cmake --build build/windows64 -j $(JOBS)

asan:
	cmake --preset asan $(CMAKE_FLAGS) >/dev/null
	cmake --build build/asan -j $(JOBS)

test: deps
	$(MAKE) linux windows windows64 asan
	$(MAKE) test-linux test-asan test-windows

test-linux:
	ctest --preset linux -j $(JOBS)

test-asan:
	ctest --preset asan -j $(JOBS)

test-windows:
	scripts/check-dll build/windows
	ctest --preset windows
	ctest --preset windows64

demo: deps linux
	scripts/demo

# The driver against plcsim paced at 9600, 19200 and 38400 baud: writes
# BENCHMARKS.md and bench/plots/. The test run includes its smoke check.
bench: deps linux
	bench/run

clean:
	rm -rf build
