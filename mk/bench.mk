# Benchmarks (`make bench`): the native kernel table, the Python comparisons, peak memory and the
# plot, from optimised builds, one process per table. BENCH_NATIVE_FLAGS=--estimate-largest skips
# the minute that the reference kernel takes at the largest size. The plot goes to
# $(BENCH_DIR)/timings.png; `make bench-plot` copies it over the committed benchmarks/timings.png.

BENCH_DIR = $(BUILD)/bench
BENCH_PY = $(CURDIR)/benchmarks/compare.py
BENCH_NATIVE_FLAGS ?=

.PHONY: bench bench-plot in-env-bench

bench:
	$(DEVROOT) $(MAKE) --no-print-directory in-env-bench BUILD=$(BUILD) \
	  BENCH_NATIVE_FLAGS="$(BENCH_NATIVE_FLAGS)"

in-env-bench: in-env-install
	cmake -S . -B $(BENCH_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BENCHMARKS=ON \
	  -DCORVANE_WERROR=ON >/dev/null
	cmake --build $(BENCH_DIR) --target native_kernel_bench
	cd $(BUILD) && $(VPY) $(BENCH_PY) documents --out $(CURDIR)/$(BENCH_DIR) >/dev/null
	$(BENCH_DIR)/benchmarks/native_kernel_bench --csv $(BENCH_DIR)/native.csv $(BENCH_NATIVE_FLAGS) \
	  --documents $(BENCH_DIR)/document-fr.txt,$(BENCH_DIR)/document-ru.txt
	@echo
	cd $(BUILD) && for table in synthetic text short lengths memory; do \
	  $(VPY) $(BENCH_PY) $$table --out $(CURDIR)/$(BENCH_DIR) && echo || exit 1; done
	cd $(BUILD) && $(VPY) $(BENCH_PY) plot --out $(CURDIR)/$(BENCH_DIR) \
	  --png $(CURDIR)/$(BENCH_DIR)/timings.png

bench-plot:
	cp $(BENCH_DIR)/timings.png benchmarks/timings.png
