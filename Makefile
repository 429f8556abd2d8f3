# The commands a developer runs. Each public target enters the development environment
# (tools/devroot) and runs the matching in-env-* target there.

DEVROOT := tools/devroot
PYTHON := python3.14
VENV := build/venv
VPY := $(CURDIR)/$(VENV)/bin/python
NATIVE := build/native
PIP_FLAGS := --no-build-isolation --no-deps --disable-pip-version-check -q \
             -Cbuild-dir=build/wheel -Ccmake.define.CORVANE_WERROR=ON

.PHONY: test demo clean format in-env-test in-env-demo in-env-native in-env-install in-env-pytest

test:
	$(DEVROOT) $(MAKE) --no-print-directory in-env-test

demo:
	$(DEVROOT) $(MAKE) --no-print-directory in-env-demo

clean:
	rm -rf build

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

# ---- inside the environment -------------------------------------------------------------------

$(VPY):
	$(PYTHON) -m venv --system-site-packages --without-pip $(VENV)

in-env-install: $(VPY)
	$(VPY) -m pip install $(PIP_FLAGS) .

in-env-native:
	cmake -S . -B $(NATIVE) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCORVANE_NATIVE_TESTS=ON -DCORVANE_WERROR=ON >/dev/null
	cmake --build $(NATIVE)
	ctest --test-dir $(NATIVE) --output-on-failure --no-tests=error -j2

in-env-test: in-env-native

in-env-demo: in-env-install in-env-native
	$(NATIVE)/kernel_demo
	cd build && $(VPY) -c 'import corvane; print("imported", corvane.__name__, "from", corvane.__file__)'
