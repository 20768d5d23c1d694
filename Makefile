# Two builds of one source tree: "host" (the drivers on the kernel stand-in,
# with the simulator and the tests) and "windows" (the real .sys images).
HOST_DIR    := build/host
WINDOWS_DIR := build/windows
ASAN_DIR    := build/asan
FUZZ_DIR    := build/fuzz

.PHONY: all build test run bootstrap clean wine-check fuzz configure-host

all: build

# The bootstrap writes build/i386-mode: "native" where the kernel runs i386
# programs, "emulated" where they run under qemu-i386. Read when a recipe
# runs, after the bootstrap has.
EMULATED       = $(filter emulated,$(shell cat build/i386-mode 2>/dev/null))
HOST_TOOLCHAIN = $(if $(EMULATED),-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/host-i386-emulated.cmake)
HOST_RUNNER    = $(if $(EMULATED),qemu-i386)
NO_LEAKS_NOTE  = $(if $(EMULATED),@echo "$(1): leak detection off: LeakSanitizer hangs under qemu-i386;\
 the host kernel's pool records still report every leak")

bootstrap:
	@scripts/bootstrap.sh

configure-host: bootstrap
	@# Configuring again is cheap and picks up new test groups and images.
	@cmake -S . -B $(HOST_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug $(HOST_TOOLCHAIN) >/dev/null

build: configure-host
	@cmake -S . -B $(WINDOWS_DIR) -G Ninja \
		-DCMAKE_TOOLCHAIN_FILE=cmake/windows-toolchain.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(HOST_DIR)
	cmake --build $(WINDOWS_DIR)

# The host tests run twice: as built, and under AddressSanitizer and
# UndefinedBehaviorSanitizer; one test per core at a time.
CTEST_JOBS ?= $(shell nproc)
test: build
	@cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMPS_SANITIZE=ON $(HOST_TOOLCHAIN) >/dev/null
	cmake --build $(ASAN_DIR)
	cd $(HOST_DIR) && ctest --output-on-failure -j$(CTEST_JOBS) $(CTEST_ARGS)
	cd $(WINDOWS_DIR) && ctest --output-on-failure -j$(CTEST_JOBS) $(CTEST_ARGS)
	$(call NO_LEAKS_NOTE,$(ASAN_DIR))
	cd $(ASAN_DIR) && ctest --output-on-failure -j$(CTEST_JOBS) $(CTEST_ARGS)

# The package and the Windows images on Wine (not part of test: it installs
# Wine and takes a while). WINE_CHECK_ARGS passes options to the script.
wine-check: bootstrap
	@cmake -S . -B $(WINDOWS_DIR) -G Ninja \
		-DCMAKE_TOOLCHAIN_FILE=cmake/windows-toolchain.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(WINDOWS_DIR)
	scripts/wine-check.sh --images $(WINDOWS_DIR) $(WINE_CHECK_ARGS)

# The fuzz targets (clang with libFuzzer, ASan and UBSan), each for
# FUZZ_SECONDS from its committed corpus under fuzz/corpus; FUZZ=name runs
# one of them. Not part of test: CI runs it after the tests.
FUZZ_SECONDS ?= 20
fuzz: bootstrap
	@cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang-14 \
		-DCMAKE_CXX_COMPILER=clang++-14 -DMPS_SANITIZE=ON -DMPS_FUZZ=ON -DMPS_FUZZ_SECONDS=$(FUZZ_SECONDS) \
		$(HOST_TOOLCHAIN) >/dev/null
	cmake --build $(FUZZ_DIR) --target fuzz_targets
	$(call NO_LEAKS_NOTE,$(FUZZ_DIR))
	cd $(FUZZ_DIR) && ctest --output-on-failure -R '^fuzz_$(if $(FUZZ),$(FUZZ)$$,)'

# Builds only what it runs: mpsim and the driver images it loads.
run: configure-host
	cmake --build $(HOST_DIR) --target mpsim
	$(HOST_RUNNER) $(HOST_DIR)/mpsim $(ARGS)

clean:
	rm -rf build
