# The commands a developer runs. Each public target enters the development environment
# (tools/devroot) and runs the matching in-env-* target there. BUILD picks the build directory, so
# that several checkouts' worth of work can build side by side.

DEVROOT := tools/devroot
PYTHON := python3.14
BUILD ?= build
VENV := $(BUILD)/venv
VPY := $(CURDIR)/$(VENV)/bin/python
NATIVE := $(BUILD)/native
PIP_FLAGS := --no-build-isolation --no-deps --disable-pip-version-check -q \
             -Cbuild-dir=$(BUILD)/wheel -Ccmake.define.CORVANE_WERROR=ON
PYTEST_FLAGS ?= -q

# ctest prints a line per test; only a failure's output and the summary line are shown.
CTEST_QUIET = >$(1)/ctest.log 2>&1 || { cat $(1)/ctest.log; exit 1; }; grep 'tests passed' $(1)/ctest.log

.PHONY: test demo python shell clean format in-env-test in-env-demo in-env-native in-env-install \
        in-env-pytest in-env-python in-env-shell in-env-format

test:
	$(DEVROOT) $(MAKE) --no-print-directory in-env-test BUILD=$(BUILD)

demo:
	$(DEVROOT) $(MAKE) --no-print-directory in-env-demo BUILD=$(BUILD)

# An interpreter, or a shell, with the built module installed in $(VENV) and that venv active.
python:
	$(DEVROOT) $(MAKE) --no-print-directory in-env-python BUILD=$(BUILD)

shell:
	$(DEVROOT) $(MAKE) --no-print-directory in-env-shell BUILD=$(BUILD)

clean:
	rm -rf $(BUILD)

format:
	$(DEVROOT) --with format $(MAKE) --no-print-directory in-env-format BUILD=$(BUILD)

# ---- inside the environment -------------------------------------------------------------------

$(VPY):
	$(PYTHON) -m venv --system-site-packages --without-pip $(VENV)

in-env-install: $(VPY)
	@echo "install: building corvane (optimised, about 2 minutes the first time) into $(VENV)"
	$(VPY) -m pip install $(PIP_FLAGS) .

# The native tests check values, not speed, and the Python suite runs the optimised module; -O1
# builds them in a third of the time that full optimisation takes.
NATIVE_CMAKE_FLAGS = -G Ninja -DCMAKE_BUILD_TYPE= -DCMAKE_CXX_FLAGS=-O1 \
  -DPython_EXECUTABLE=$$(command -v $(PYTHON)) -DCORVANE_NATIVE_TESTS=ON -DCORVANE_WERROR=ON

in-env-native:
	@echo "native: building the native tests"
	cmake -S . -B $(NATIVE) $(NATIVE_CMAKE_FLAGS) >/dev/null
	cmake --build $(NATIVE) --target native_tests
	ctest --test-dir $(NATIVE) --output-on-failure --no-tests=error -j2 $(call CTEST_QUIET,$(NATIVE))

# Runs from the build directory so that the installed module is the one imported.
in-env-pytest: in-env-install
	cd $(BUILD) && $(VPY) -m pytest $(PYTEST_FLAGS) -p no:cacheprovider $(CURDIR)/tests

in-env-test: in-env-native in-env-pytest

in-env-demo: in-env-install
	$(VPY) examples/demo.py

in-env-python: in-env-install
	@echo "$(VPY): corvane from $(VENV)"
	@$(VPY)

in-env-shell: in-env-install
	@echo "the venv $(VENV) is active; python imports the built corvane"
	@# Interactive only on a terminal: commands piped in run without job control's complaint.
	@VIRTUAL_ENV=$(CURDIR)/$(VENV) PATH=$(CURDIR)/$(VENV)/bin:$$PATH PS1='(corvane) $$ ' \
	  sh $$(test -t 0 && echo -i)

in-env-format:
	clang-format -i $$(find src tests fuzz benchmarks -name '*.cpp' -o -name '*.hpp')

# Further targets (benchmarks, sanitizers, fuzzing) live in mk/, one file per concern.
-include mk/*.mk
