# Two builds of one source tree: "host" (the drivers on the kernel stand-in,
# with the simulator and the tests) and "windows" (the real .sys images).
HOST_DIR    := build/host
WINDOWS_DIR := build/windows
ASAN_DIR    := build/asan

.PHONY: all build test run bootstrap clean wine-check

all: build

bootstrap:
	@scripts/bootstrap.sh

build: bootstrap
	@# Configuring again is cheap and picks up new test groups and images.
	@cmake -S . -B $(HOST_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake -S . -B $(WINDOWS_DIR) -G Ninja \
		-DCMAKE_TOOLCHAIN_FILE=cmake/windows-toolchain.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(HOST_DIR)
	cmake --build $(WINDOWS_DIR)

# The host tests run twice: as built, and under AddressSanitizer and
# UndefinedBehaviorSanitizer.
test: build
	@cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMPS_SANITIZE=ON >/dev/null
	cmake --build $(ASAN_DIR)
	cd $(HOST_DIR) && ctest --output-on-failure $(CTEST_ARGS)
	cd $(WINDOWS_DIR) && ctest --output-on-failure $(CTEST_ARGS)
	cd $(ASAN_DIR) && ctest --output-on-failure $(CTEST_ARGS)

# The package and the Windows images on Wine (not part of test: it installs
# Wine and takes a while). WINE_CHECK_ARGS passes options to the script.
wine-check: bootstrap
	@cmake -S . -B $(WINDOWS_DIR) -G Ninja \
		-DCMAKE_TOOLCHAIN_FILE=cmake/windows-toolchain.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(WINDOWS_DIR)
	scripts/wine-check.sh --images $(WINDOWS_DIR) $(WINE_CHECK_ARGS)

run: build
	$(HOST_DIR)/mpsim $(ARGS)

clean:
	rm -rf build
