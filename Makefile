# One source tree, built for the host (the drivers on the kernel stand-in,
# with the simulator and the tests) and for Windows (the real .sys images).
# The host build is x64 (build/host, the one make run uses) and x86
# (build/host32, the exact layouts of 32-bit Windows).
HOST_DIR    := build/host
HOST32_DIR  := build/host32
WINDOWS_DIR := build/windows
WINDOWS64_DIR := build/windows-x64
ASAN_DIR    := build/asan
ASAN32_DIR  := build/asan32
FUZZ_DIR    := build/fuzz
FUZZ32_DIR  := build/fuzz32

.PHONY: all build test run bootstrap clean package wine-check fuzz configure-host

all: build

# The bootstrap writes build/i386-mode: "native" where the kernel runs i386
# programs, "emulated" where they run under qemu-i386. Read when a recipe
# runs, after the bootstrap has. The x86 host build's plain tests run either
# way; its sanitizer and fuzz runs only natively (the x64 ones run anywhere).
NATIVE_I386      = $(filter native,$(shell cat build/i386-mode 2>/dev/null))
HOST32_TOOLCHAIN = $(if $(NATIVE_I386),,-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/host-i386-emulated.cmake)
NOT_NATIVE_WHY   = NOT RUN: this kernel runs no i386 programs; the x64 build's $(2) covered the same code
NOT_NATIVE_NOTE  = @echo "$(1): $(call NOT_NATIVE_WHY,$(1),$(2))"

# The Windows images of both architectures, signed with one test certificate
# made under build/.
# The x64 tree's tests check the package staged from both.
configure_windows = @cmake -S . -B $(1) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/$(2) -DCMAKE_BUILD_TYPE=Release \
	-DMPS_TEST_SIGNING_DIR=$(CURDIR)/build/test-signing $(3) >/dev/null
define build_windows
	$(call configure_windows,$(WINDOWS_DIR),windows-toolchain.cmake)
	$(call configure_windows,$(WINDOWS64_DIR),windows-x64-toolchain.cmake,-DMPS_PACKAGE_X86_TREE=$(CURDIR)/$(WINDOWS_DIR))
	cmake --build $(WINDOWS_DIR)
	cmake --build $(WINDOWS64_DIR)
endef

# Configuring again is cheap and picks up new test groups and images.
configure = @cmake -S . -B $(1) -G Ninja -DCMAKE_BUILD_TYPE=Debug $(2) >/dev/null
CLANG     = -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14

bootstrap:
	@scripts/bootstrap.sh

configure-host: bootstrap
	$(call configure,$(HOST_DIR),-DMPS_HOST_BITS=64)

build: configure-host
	$(call configure,$(HOST32_DIR),-DMPS_HOST_BITS=32 $(HOST32_TOOLCHAIN))
	cmake --build $(HOST_DIR)
	cmake --build $(HOST32_DIR)
	$(build_windows)

# The host tests run in each build, then under AddressSanitizer and
# UndefinedBehaviorSanitizer; one test per core at a time. The last lines
# say what did not run on this machine, or ran as a sample.
CTEST_JOBS ?= $(shell nproc)
CTEST      = ctest --output-on-failure -j$(CTEST_JOBS) $(CTEST_ARGS)
test: build
	$(call configure,$(ASAN_DIR),-DMPS_HOST_BITS=64 -DMPS_SANITIZE=ON)
	cmake --build $(ASAN_DIR)
	$(if $(NATIVE_I386),$(call configure,$(ASAN32_DIR),-DMPS_HOST_BITS=32 -DMPS_SANITIZE=ON))
	$(if $(NATIVE_I386),cmake --build $(ASAN32_DIR))
	cd $(HOST_DIR) && $(CTEST)
	cd $(HOST32_DIR) && $(CTEST)
	cd $(WINDOWS_DIR) && $(CTEST)
	cd $(WINDOWS64_DIR) && $(CTEST)
	cd $(ASAN_DIR) && $(CTEST)
	$(if $(NATIVE_I386),cd $(ASAN32_DIR) && $(CTEST),$(call NOT_NATIVE_NOTE,$(ASAN32_DIR),sanitizer tests))
	@scripts/test-summary.sh $(HOST_DIR) $(HOST32_DIR) $(WINDOWS_DIR) $(WINDOWS64_DIR) $(ASAN_DIR) \
		$(if $(NATIVE_I386),$(ASAN32_DIR),--not-run "$(ASAN32_DIR): $(call NOT_NATIVE_WHY,$(ASAN32_DIR),sanitizer tests)")

# What goes to a Windows machine: build/package (the INF files, each
# architecture's signed images and installer, the test root's certificate,
# README.txt) made afresh, zipped as build/mps-package.zip, and checked.
# Needs no Wine.
PACKAGE_DIR := build/package
package: bootstrap
	$(build_windows)
	python3 scripts/package/stage.py --x86 $(WINDOWS_DIR) --x64 $(WINDOWS64_DIR) --signing build/test-signing \
		--out $(PACKAGE_DIR) --zip build/mps-package.zip

# The package installed on Wine (not part of test: it installs Wine and
# takes a while). WINE_CHECK_ARGS passes options to the script.
wine-check: package
	scripts/wine-check.sh --package $(PACKAGE_DIR) $(WINE_CHECK_ARGS)

# The fuzz targets (clang with libFuzzer, ASan and UBSan), each for
# FUZZ_SECONDS from its committed corpus under fuzz/corpus; FUZZ=name runs
# one of them. Not part of test: CI runs it after the tests.
FUZZ_SECONDS ?= 20
FUZZ_FLAGS   = $(CLANG) -DMPS_SANITIZE=ON -DMPS_FUZZ=ON -DMPS_FUZZ_SECONDS=$(FUZZ_SECONDS)
FUZZ_RUN     = ctest --output-on-failure -R '^fuzz_$(if $(FUZZ),$(FUZZ)$$,)'
fuzz: bootstrap
	$(call configure,$(FUZZ_DIR),-DMPS_HOST_BITS=64 $(FUZZ_FLAGS))
	cmake --build $(FUZZ_DIR) --target fuzz_targets
	cd $(FUZZ_DIR) && $(FUZZ_RUN)
	$(if $(NATIVE_I386),$(call configure,$(FUZZ32_DIR),-DMPS_HOST_BITS=32 $(FUZZ_FLAGS)))
	$(if $(NATIVE_I386),cmake --build $(FUZZ32_DIR) --target fuzz_targets)
	$(if $(NATIVE_I386),cd $(FUZZ32_DIR) && $(FUZZ_RUN),$(call NOT_NATIVE_NOTE,$(FUZZ32_DIR),fuzz targets))

# Builds only what it runs: mpsim and the driver images it loads.
run: configure-host
	cmake --build $(HOST_DIR) --target mpsim
	$(HOST_DIR)/mpsim $(ARGS)

clean:
	rm -rf build
