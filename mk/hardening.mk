# Hardening checks: the suites under AddressSanitizer and UndefinedBehaviorSanitizer, reference and
# block counts under the debug interpreter, and differential fuzzing of the kernels.
#
#   make check            the three bounded checks below, one after the other (run by CI)
#   make check-sanitize   native and Python suites against an ASan+UBSan build; fails on any report
#   make check-refleaks   the Python suite and the reference-count checks under python3.14d
#   make check-fuzz       fast kernel against reference kernel, FUZZ_CHECK_SECONDS (60) of libFuzzer
#   make fuzz             the same for FUZZ_SECONDS (1800), keeping its corpus between runs
#
# Each uses its own directory under $(BUILD) and its own virtual environment.

HARDENING_CHECKS := check check-sanitize check-refleaks check-fuzz fuzz

.PHONY: $(HARDENING_CHECKS) $(addprefix in-env-,$(HARDENING_CHECKS)) in-env-sanitize-native \
        in-env-sanitize-pytest in-env-refleaks-install

$(HARDENING_CHECKS):
	$(DEVROOT) --with check $(MAKE) --no-print-directory in-env-$@ BUILD=$(BUILD)

in-env-check:
	@start=$$(date +%s); \
	$(MAKE) --no-print-directory in-env-check-sanitize BUILD=$(BUILD) && \
	$(MAKE) --no-print-directory in-env-check-refleaks BUILD=$(BUILD) && \
	$(MAKE) --no-print-directory in-env-check-fuzz BUILD=$(BUILD) && \
	echo "check: sanitizers, reference counts and fuzzing passed in $$(( $$(date +%s) - start )) s"

# ---- sanitizers --------------------------------------------------------------------------------

SANITIZE_BUILD := $(BUILD)/sanitize
SANITIZE_CXX := clang++
# Holds UndefinedBehaviorSanitizer too, so one log_path catches the reports of both.
SANITIZE_RUNTIME := libclang_rt.asan-x86_64.so
SANITIZE_VENV := $(SANITIZE_BUILD)/venv
SANITIZE_VPY := $(CURDIR)/$(SANITIZE_VENV)/bin/python
SANITIZE_REPORTS := $(CURDIR)/$(SANITIZE_BUILD)/reports
# Reports go to files (one per process, children included) so that none can pass unseen; a report
# ends the process that made it. The interpreter's own allocations are never freed, hence no leak
# detection; allocation failures must reach the code as failures, as they would without ASan.
SANITIZE_ENV := \
  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:log_path=$(SANITIZE_REPORTS)/asan \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(SANITIZE_REPORTS)/ubsan
# The Python suite runs in an interpreter built without ASan, so its runtime has to be loaded
# first.

in-env-check-sanitize:
	@rm -rf $(SANITIZE_REPORTS) && mkdir -p $(SANITIZE_REPORTS)
	$(MAKE) --no-print-directory in-env-sanitize-native in-env-sanitize-pytest BUILD=$(BUILD)
	@if [ -n "$$(ls -A $(SANITIZE_REPORTS))" ]; then \
	  cat $(SANITIZE_REPORTS)/*; \
	  echo "check-sanitize: $$(ls $(SANITIZE_REPORTS) | wc -l) sanitizer report(s)"; exit 1; \
	fi
	@echo "check-sanitize: 0 sanitizer reports (AddressSanitizer, UndefinedBehaviorSanitizer)"

# Warnings are the ordinary build's business: instrumentation changes what the compiler inlines
# and so what it warns about, and such a warning must not hide the reports this check is for.
in-env-sanitize-native:
	CXX=$(SANITIZE_CXX) cmake -S . -B $(SANITIZE_BUILD)/native -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_NATIVE_TESTS=ON -DCORVANE_WERROR=OFF \
	  -DPython_EXECUTABLE=$$(command -v $(PYTHON)) \
	  -DCORVANE_SANITIZE=address,undefined >/dev/null
	cmake --build $(SANITIZE_BUILD)/native
	$(SANITIZE_ENV) ctest --test-dir $(SANITIZE_BUILD)/native --output-on-failure \
	  --no-tests=error -j2 $(call CTEST_QUIET,$(SANITIZE_BUILD)/native)

in-env-sanitize-pytest:
	[ -x $(SANITIZE_VPY) ] || $(PYTHON) -m venv --system-site-packages --without-pip $(SANITIZE_VENV)
	CXX=$(SANITIZE_CXX) $(SANITIZE_VPY) -m pip install --no-build-isolation --no-deps \
	  --disable-pip-version-check -q -Cbuild-dir=$(SANITIZE_BUILD)/wheel \
	  -Ccmake.build-type=RelWithDebInfo -Ccmake.define.CORVANE_WERROR=OFF \
	  -Ccmake.define.CORVANE_SANITIZE=address,undefined .
	cd $(SANITIZE_BUILD) && \
	  LD_PRELOAD=$$($(SANITIZE_CXX) -print-file-name=$(SANITIZE_RUNTIME)) $(SANITIZE_ENV) \
	  $(SANITIZE_VPY) -m pytest $(PYTEST_FLAGS) -p no:cacheprovider \
	  $(CURDIR)/tests

# ---- reference counts under the debug interpreter ---------------------------------------------

DEBUG_PYTHON := python3.14d
REFLEAKS_CXX := g++
REFLEAKS_BUILD := $(BUILD)/refleaks
REFLEAKS_VENV := $(REFLEAKS_BUILD)/venv
REFLEAKS_VPY := $(CURDIR)/$(REFLEAKS_VENV)/bin/python

# The module must really use the debug interpreter's reference counting (see the build's note on
# its headers); the check below makes sure it calls into the debug counters.
in-env-refleaks-install:
	[ -x $(REFLEAKS_VPY) ] || $(DEBUG_PYTHON) -m venv --system-site-packages --without-pip \
	  $(REFLEAKS_VENV)
	CXX=$(REFLEAKS_CXX) $(REFLEAKS_VPY) -m pip install --no-build-isolation --no-deps \
	  --disable-pip-version-check -q -Cbuild-dir=$(REFLEAKS_BUILD)/wheel \
	  -Ccmake.define.CORVANE_WERROR=ON .
	cd $(REFLEAKS_BUILD) && $(REFLEAKS_VPY) -c 'import sys, corvane; \
	  assert hasattr(sys, "gettotalrefcount"), "not a debug interpreter"; \
	  print(corvane.__file__)' >module-path
	nm -D $$(cat $(REFLEAKS_BUILD)/module-path) | grep -q _Py_DECREF_DecRefTotal || \
	  { echo "check-refleaks: the module was built without the debug reference counting"; exit 1; }
	@echo "check-refleaks: $(DEBUG_PYTHON) imports $$(cat $(REFLEAKS_BUILD)/module-path)"

# The whole suite first (the leak checks are skipped in it and run alone afterwards, so that their
# figures are printed).
in-env-check-refleaks: in-env-refleaks-install
	cd $(REFLEAKS_BUILD) && $(REFLEAKS_VPY) -m pytest $(PYTEST_FLAGS) -p no:cacheprovider \
	  --ignore=$(CURDIR)/tests/test_refleaks.py $(CURDIR)/tests
	cd $(REFLEAKS_BUILD) && $(REFLEAKS_VPY) -m pytest -q -s -p no:cacheprovider \
	  $(CURDIR)/tests/test_refleaks.py

# ---- fuzzing -----------------------------------------------------------------------------------

FUZZ_BUILD := $(BUILD)/fuzz
FUZZ_BIN := $(FUZZ_BUILD)/fuzz_kernels
FUZZ_CXX := clang++
FUZZ_SOURCES := fuzz/fuzz_kernels.cpp src/cpu.cpp $(wildcard src/kernel/*.cpp) src/panic.cpp \
                src/text_avx2.cpp src/text_vector.cpp
FUZZ_CXXFLAGS := -std=c++23 -O1 -g -Wall -Wextra -Werror -Isrc -Itests/native -fno-omit-frame-pointer \
                 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
# FUZZ_LEVEL caps the instruction set as CORVANE_MAX_ISA does for the other builds.
FUZZ_LEVEL ?= avx512
FUZZ_CXXFLAGS += -DCORVANE_MAX_ISA_LEVEL=$(if $(filter portable,$(FUZZ_LEVEL)),0,$(if \
  $(filter sse2,$(FUZZ_LEVEL)),1,$(if $(filter avx2,$(FUZZ_LEVEL)),2,3)))
FUZZ_CHECK_SECONDS ?= 60
FUZZ_SECONDS ?= 1800
# Panic reports would flood the output: the target's standard error is discarded (its own
# mismatch report and the sanitizers' still get through).
FUZZ_FLAGS := -max_len=2048 -close_fd_mask=2 -print_final_stats=1 -dict=fuzz/kernels.dict \
              -artifact_prefix=$(FUZZ_BUILD)/failures/

# One object per source, built two at a time: a single compiler call took four minutes.
FUZZ_OBJECTS = $(patsubst %.cpp,$(FUZZ_BUILD)/obj/%.o,$(FUZZ_SOURCES))
FUZZ_HEADERS = $(wildcard src/*.hpp src/kernel/*.hpp tests/native/*.hpp)

$(FUZZ_BUILD)/obj/%.o: %.cpp $(FUZZ_HEADERS)
	@mkdir -p $(@D)
	$(FUZZ_CXX) $(FUZZ_CXXFLAGS) -c -o $@ $<

$(FUZZ_BIN): $(FUZZ_OBJECTS)
	$(FUZZ_CXX) $(FUZZ_CXXFLAGS) -o $@ $(FUZZ_OBJECTS)

.PHONY: in-env-fuzz-build
in-env-fuzz-build:
	@echo "fuzz_kernels: building $(FUZZ_BIN) (level $(FUZZ_LEVEL))"
	$(MAKE) --no-print-directory -j2 $(FUZZ_BIN)

# Runs the fuzzer for $(1) seconds on the corpus directory $(2), with a progress line six times a
# run (at most every 10 s); prints the execution count, or the end of the log and the failing input
# on a failure.
define run_fuzzer
	@mkdir -p $(2) $(FUZZ_BUILD)/failures
	@log=$(FUZZ_BUILD)/last-run.log; start=$$(date +%s); \
	every=$$(( $(1) / 6 )); [ $$every -ge 10 ] || every=10; \
	ASAN_OPTIONS=detect_leaks=1 $(FUZZ_BIN) $(FUZZ_FLAGS) -max_total_time=$(1) $(2) >$$log 2>&1 & \
	pid=$$!; next=$$every; \
	while sleep 1 && kill -0 $$pid 2>/dev/null; do \
	  elapsed=$$(( $$(date +%s) - start )); [ $$elapsed -ge $$next ] || continue; \
	  next=$$(( next + every )); \
	  echo "fuzz_kernels: $$elapsed of $(1) s, $$(grep -ao '^#[0-9]*' $$log | tail -n 1 | tr -d '#') executions"; \
	done; \
	if ! wait $$pid; then \
	  tail -n 60 $$log; echo "fuzz_kernels: FAILED, input saved in $(FUZZ_BUILD)/failures/"; exit 1; \
	fi; \
	runs=$$(sed -n 's/^stat::number_of_executed_units: *//p' $$log); \
	echo "fuzz_kernels: $$runs executions in $(1) s, 0 failures (corpus $$(ls $(2) | wc -l) inputs)"
endef

in-env-check-fuzz: in-env-fuzz-build
	$(call run_fuzzer,$(FUZZ_CHECK_SECONDS),$(FUZZ_BUILD)/check-corpus)

in-env-fuzz: in-env-fuzz-build
	$(call run_fuzzer,$(FUZZ_SECONDS),$(FUZZ_BUILD)/corpus)
