# Front door of the project. `make test` installs what is missing, builds the
# Linux, sanitizer and Windows builds, and runs every test (the Windows ones
# under Wine). `make demo` runs the driver against the PLC simulator.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DKEL_WERROR=ON

.PHONY: all build deps linux windows windows64 asan test test-linux test-asan test-windows demo clean bench
.PHONY: fuzz-build fuzz test-fuzz soak tsan test-tsan package package-windows test-package

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
	$(MAKE) linux windows windows64 asan fuzz-build tsan
	$(MAKE) test-linux test-asan test-windows test-fuzz test-tsan

test-linux:
	ctest --preset linux -j $(JOBS)

test-asan:
	ctest --preset asan -j $(JOBS)

test-windows:
	scripts/check-dll build/windows
	ctest --preset windows
	ctest --preset windows64

# Reliability: libFuzzer targets (clang-14), the fault soak against the
# simulator, two boards on two threads under ThreadSanitizer. `make test` runs
# each fuzz target for a few seconds and a short soak (a ctest of the Linux
# tree); `make fuzz` and `make soak` run the long versions.
FUZZ_SECONDS ?= 600
TEST_FUZZ_SECONDS ?= 5
SOAK_REQUESTS ?= 100000

fuzz-build:
	cmake --preset fuzz $(CMAKE_FLAGS) >/dev/null
	cmake --build build/fuzz -j $(JOBS) --target fuzz_all

fuzz: deps fuzz-build
	scripts/fuzz-run build/fuzz $(FUZZ_SECONDS)

test-fuzz:
	scripts/fuzz-run build/fuzz $(TEST_FUZZ_SECONDS)

soak: deps linux
	build/linux/kel_soak --requests $(SOAK_REQUESTS)

# Only what the two-board test needs is built in this tree.
tsan:
	cmake --preset tsan $(CMAKE_FLAGS) >/dev/null
	cmake --build build/tsan -j $(JOBS) --target kel_thread_tests

test-tsan:
	build/tsan/kel_thread_tests

# Debian packages of the Linux build (build/linux/*.deb: libderevu1-1,
# libderevu1-dev, derevu1-tools) and the SCADA integrator's zip of the
# 32-bit Windows build (build/windows/derevu1-VERSION-win32.zip).
package: linux
	cmake --build build/linux --target package

package-windows:
	cmake --preset windows $(CMAKE_FLAGS) >/dev/null
	cmake --build build/windows -j $(JOBS) --target package-windows

# The packages' checks alone (they also run in the Linux tree's ctest).
test-package: linux
	ctest --preset linux -L package

demo: deps linux
	scripts/demo

# The driver against plcsim paced at 9600, 19200 and 38400 baud, and the
# gateway under Modbus TCP clients with a station switched off (about 20
# minutes in all; bench/run driver or bench/run gateway runs one part):
# writes BENCHMARKS.md and bench/plots/. The test run includes their smoke
# checks.
bench: deps linux
	bench/run

clean:
	rm -rf build
