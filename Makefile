# Front door of the project. `make test` installs what is missing, builds the
# Linux, sanitizer and Windows builds, and runs every test (the Windows ones
# under Wine). `make demo` runs the driver against the PLC simulator.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DKEL_WERROR=ON

.PHONY: all build deps linux windows asan test test-linux test-asan test-windows demo clean

all: build

deps:
	@scripts/install-deps

build: linux windows

linux:
	cmake --preset linux $(CMAKE_FLAGS) >/dev/null
	cmake --build build/linux -j $(JOBS)

windows:
	cmake --preset windows $(CMAKE_FLAGS) >/dev/null
	cmake --build build/windows -j $(JOBS)

asan:
	cmake --preset asan $(CMAKE_FLAGS) >/dev/null
	cmake --build build/asan -j $(JOBS)

test: deps
	$(MAKE) linux windows asan
	$(MAKE) test-linux test-asan test-windows

test-linux:
	ctest --preset linux -j $(JOBS)

test-asan:
	ctest --preset asan -j $(JOBS)

test-windows:
	scripts/check-dll build/windows
	ctest --preset windows

demo: deps linux
	scripts/demo

clean:
	rm -rf build
