# ARM64 Linux under emulation, on an x86-64 machine (`make test-arm64`, `make dist-arm64`).
#
# Everything is compiled at native speed in the development root, by GCC for aarch64 against the
# ARM64 builds of Python and GoogleTest installed beside the machine's own (`tools/devroot --with
# cross`, cmake/aarch64-linux-gnu.cmake). What was built runs on ARM64 through qemu-user: the
# native tests in that same root, the Python suite in an ARM64 root (`tools/devroot --arch arm64`)
# whose interpreter, pytest, mypy, pandas and Dask all run emulated. The x86-64 kernel paths are
# compiled out for ARM64, so every call takes the portable level.
#
#   make test-arm64   the native tests, then `make dist-arm64`
#   make dist-arm64   `make dist` for ARM64: the sdist, an ARM64 wheel built from it and repaired
#                     to its manylinux tag, both checked, the Python suite against the wheel
#                     installed in a fresh ARM64 venv
#
# The Python suite runs once, against the wheel a user would install: under emulation it is the
# longest part.
#
# Both build in $(BUILD)/arm64. Under emulation CORVANE_QEMU_USER=1 tells the tests that
# qemu-user accepts address-space limits without applying them; the ones that need such a limit
# skip.

ARM64_BUILD = $(BUILD)/arm64
ARM64_TOOLCHAIN = $(CURDIR)/cmake/aarch64-linux-gnu.cmake
# The wheel's platform tag follows _PYTHON_HOST_PLATFORM, not the machine that builds it. When
# cross-compiling, CMake's FindPython cannot ask the ARM64 interpreter for the module's suffix and
# leaves it a plain .so, so the suffix is given.
ARM64_WHEEL_ENV = _PYTHON_HOST_PLATFORM=linux-aarch64
ARM64_EXT_SUFFIX = .cpython-$(subst .,,$(subst python,,$(PYTHON)))-aarch64-linux-gnu.so
ARM64_WHEEL_FLAGS = -Ccmake.define.CMAKE_TOOLCHAIN_FILE=$(ARM64_TOOLCHAIN) \
                    -Ccmake.define.CMAKE_SHARED_MODULE_SUFFIX_CXX=$(ARM64_EXT_SUFFIX)
ARM64_RUN = $(if $(filter aarch64,$(shell uname -m)),,CORVANE_QEMU_USER=1) $(DEVROOT) --arch arm64

.PHONY: test-arm64 dist-arm64 in-env-arm64-native

test-arm64:
	@echo "test-arm64: the emulator and the ARM64 root"
	$(ARM64_RUN) --setup
	$(DEVROOT) --with cross $(MAKE) --no-print-directory in-env-arm64-native BUILD=$(BUILD)
	@$(MAKE) --no-print-directory dist-arm64 BUILD=$(BUILD)

dist-arm64:
	@echo "dist-arm64: the emulator and the ARM64 root"
	$(ARM64_RUN) --setup
	@echo "dist-arm64: the sdist and a cross-compiled ARM64 wheel"
	$(DEVROOT) --with dist,cross $(MAKE) --no-print-directory in-env-dist-package \
	  BUILD=$(ARM64_BUILD) DIST_BUILD_ENV="$(ARM64_WHEEL_ENV)" DIST_BUILD_FLAGS="$(ARM64_WHEEL_FLAGS)"
	@echo "dist-arm64: the Python suite against the installed wheel, under emulation"
	$(ARM64_RUN) $(MAKE) --no-print-directory in-env-dist-test BUILD=$(ARM64_BUILD)

# ---- in the development root, with the cross compiler ------------------------------------------

in-env-arm64-native:
	@echo "test-arm64: cross-compiling the native tests"
	cmake -S . -B $(ARM64_BUILD)/native $(NATIVE_CMAKE_FLAGS) \
	  -DCMAKE_TOOLCHAIN_FILE=$(ARM64_TOOLCHAIN) >/dev/null
	cmake --build $(ARM64_BUILD)/native --target native_tests
	@readelf -h $(ARM64_BUILD)/native/native_tests | grep -q AArch64 || \
	  { echo "test-arm64: native_tests is not an ARM64 program"; exit 1; }
	@echo "test-arm64: the native tests, under emulation"
	ctest --test-dir $(ARM64_BUILD)/native --output-on-failure --no-tests=error -j2 \
	  $(call CTEST_QUIET,$(ARM64_BUILD)/native)
