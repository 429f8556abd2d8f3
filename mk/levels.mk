# Builds capped below the default instruction-set level (`make test-levels`, run by CI): for each of
# LEVELS, the native tests, the Python tests that check values against the model, and a short fuzz
# run of the fast kernel against the reference, all from a build whose run-time choice may use at
# most that level. A capped build compiles none of the vector code above its level, so this also
# proves each level builds alone; `portable` compiles no intrinsics at all.
#
#   make test-levels                 every level of LEVELS (avx2 sse2 portable)
#   make test-levels LEVELS=avx2     one level

LEVELS ?= avx2 sse2 portable
LEVEL_FUZZ_SECONDS ?= 20
LEVEL_PYTESTS := tests/test_values.py tests/test_scale.py

.PHONY: test-levels in-env-test-levels in-env-test-level

test-levels:
	$(DEVROOT) --with fuzz $(MAKE) --no-print-directory in-env-test-levels BUILD=$(BUILD) LEVELS="$(LEVELS)"

in-env-test-levels:
	@for level in $(LEVELS); do \
	  echo "test-levels: $$level"; \
	  $(MAKE) --no-print-directory in-env-test-level LEVEL=$$level BUILD=$(BUILD) || exit 1; \
	done

LEVEL_BUILD = $(BUILD)/level-$(LEVEL)
LEVEL_VPY = $(CURDIR)/$(LEVEL_BUILD)/venv/bin/python
in-env-test-level:
	cmake -S . -B $(LEVEL_BUILD)/native $(NATIVE_CMAKE_FLAGS) -DCORVANE_MAX_ISA=$(LEVEL) >/dev/null
	cmake --build $(LEVEL_BUILD)/native --target native_tests
	ctest --test-dir $(LEVEL_BUILD)/native --output-on-failure --no-tests=error -j2 \
	  $(call CTEST_QUIET,$(LEVEL_BUILD)/native)
	[ -x $(LEVEL_VPY) ] || $(PYTHON) -m venv --system-site-packages --without-pip $(LEVEL_BUILD)/venv
	$(LEVEL_VPY) -m pip install --no-build-isolation --no-deps --disable-pip-version-check -q \
	  -Cbuild-dir=$(LEVEL_BUILD)/wheel -Ccmake.define.CORVANE_WERROR=ON \
	  -Ccmake.define.CORVANE_MAX_ISA=$(LEVEL) .
	cd $(LEVEL_BUILD) && $(LEVEL_VPY) -m pytest $(PYTEST_FLAGS) -p no:cacheprovider \
	  $(addprefix $(CURDIR)/,$(LEVEL_PYTESTS))
	$(MAKE) --no-print-directory in-env-check-fuzz BUILD=$(BUILD) FUZZ_BUILD=$(LEVEL_BUILD)/fuzz \
	  FUZZ_CHECK_SECONDS=$(LEVEL_FUZZ_SECONDS) FUZZ_LEVEL=$(LEVEL)
