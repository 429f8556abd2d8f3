# Benchmarks (`make bench`): the native kernel table, the Python comparisons, the call floor, peak
# memory and the plot, from optimised builds, one process per table.
# BENCH_NATIVE_FLAGS=--estimate-largest skips the minute that the reference kernel takes at the
# largest size.
#
# ISA (avx512, the default, avx2, sse2 or portable) caps the instruction set that the module's
# run-time choice may use: `make bench ISA=avx2`. Each level has its own venv, wheel build, native
# build and results under $(BUILD)/bench-$(ISA), so levels don't rebuild each other and the venv of
# `make test` is never replaced by a capped build. The plot goes to $(BENCH_DIR)/timings.png and
# shows BENCH_OTHER's level beside this one once that level has run; `make bench-plot` copies it
# over the committed benchmarks/timings.png. Each table is also kept as text beside its JSON, and
# the run puts its level's tables into docs/performance.md.

ISA ?= avx512
BENCH_LEVELS = avx512 avx2 sse2 portable
BENCH_OTHER ?= $(if $(filter avx512,$(ISA)),avx2,avx512)
BENCH_DIR = $(BUILD)/bench-$(ISA)
BENCH_OTHER_DIR = $(BUILD)/bench-$(BENCH_OTHER)
BENCH_OTHER_JSON = $(CURDIR)/$(BENCH_OTHER_DIR)/synthetic.json
BENCH_VPY = $(CURDIR)/$(BENCH_DIR)/venv/bin/python
BENCH_PY = $(CURDIR)/benchmarks/compare.py
BENCH_ARGS = --out $(CURDIR)/$(BENCH_DIR) --isa $(ISA)
# The install flags of `make test`, with this level's own build directory and cap.
BENCH_PIP_FLAGS = $(filter-out -Cbuild-dir=%,$(PIP_FLAGS)) -Cbuild-dir=$(BENCH_DIR)/wheel \
                  -Ccmake.define.CORVANE_MAX_ISA=$(ISA)
BENCH_NATIVE_FLAGS ?=

.PHONY: bench bench-plot in-env-bench in-env-bench-install

# A misspelt level would otherwise build uncapped, under its own name.
ifneq ($(filter bench in-env-bench in-env-bench-install,$(MAKECMDGOALS)),)
ifeq ($(filter $(ISA),$(BENCH_LEVELS)),)
$(error ISA=$(ISA) is not one of $(BENCH_LEVELS))
endif
endif

bench:
	$(DEVROOT) --with bench $(MAKE) --no-print-directory in-env-bench BUILD=$(BUILD) ISA=$(ISA) \
	  BENCH_NATIVE_FLAGS="$(BENCH_NATIVE_FLAGS)"

$(BENCH_VPY):
	$(PYTHON) -m venv --system-site-packages --without-pip $(BENCH_DIR)/venv

in-env-bench-install: $(BENCH_VPY)
	$(BENCH_VPY) -m pip install $(BENCH_PIP_FLAGS) .

in-env-bench: in-env-bench-install
	cmake -S . -B $(BENCH_DIR)/native -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BENCHMARKS=ON \
	  -DPython_EXECUTABLE=$$(command -v $(PYTHON)) -DCORVANE_WERROR=ON -DCORVANE_MAX_ISA=$(ISA) \
	  >/dev/null
	cmake --build $(BENCH_DIR)/native --target native_kernel_bench call_floor row_update_bench
	cd $(BUILD) && $(BENCH_VPY) $(BENCH_PY) documents $(BENCH_ARGS) >/dev/null
	@echo "Native kernels, level: $(ISA)" | tee $(BENCH_DIR)/native.txt
	$(BENCH_DIR)/native/benchmarks/native_kernel_bench --csv $(BENCH_DIR)/native.csv \
	  $(BENCH_NATIVE_FLAGS) --documents $(BENCH_DIR)/document-fr.txt,$(BENCH_DIR)/document-ru.txt \
	  >>$(BENCH_DIR)/native.txt; status=$$?; cat $(BENCH_DIR)/native.txt; exit $$status
	@echo
	cd $(BUILD) && for table in synthetic text short floor lengths memory; do \
	  $(BENCH_VPY) $(BENCH_PY) $$table $(BENCH_ARGS) --floor $(CURDIR)/$(BENCH_DIR)/native/benchmarks \
	  && echo || exit 1; done
	rm -f $(BENCH_DIR)/levels*.txt
	cd $(BUILD) && if test -f $(BENCH_OTHER_JSON); then $(BENCH_VPY) $(BENCH_PY) levels $(BENCH_ARGS) \
	  --other $(CURDIR)/$(BENCH_OTHER_DIR) && echo && \
	  mv $(CURDIR)/$(BENCH_DIR)/levels.txt $(CURDIR)/$(BENCH_DIR)/levels-$(ISA)-$(BENCH_OTHER).txt; fi
	cd $(BUILD) && $(BENCH_VPY) $(BENCH_PY) plot $(BENCH_ARGS) \
	  --png $(CURDIR)/$(BENCH_DIR)/timings.png \
	  $$(test -f $(BENCH_OTHER_JSON) && echo --other $(CURDIR)/$(BENCH_OTHER_DIR))
	$(PYTHON) benchmarks/performance_doc.py docs/performance.md $(ISA) $(BENCH_DIR)

bench-plot:
	cp $(BENCH_DIR)/timings.png benchmarks/timings.png
