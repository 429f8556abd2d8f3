# Distributions (`make dist`): an sdist and a wheel built from it, checked the way an index and a
# user would see them.
#
#   - `python -m build` makes the sdist, unpacks it into a temporary directory and builds the wheel
#     there, so the wheel proves that the sdist is complete;
#   - `auditwheel repair` gives the wheel the manylinux tag of the oldest glibc it runs on (an index
#     refuses a plain `linux_x86_64` wheel); only the repaired wheel is kept;
#   - `twine check` on both;
#   - the wheel goes into a fresh venv that sees neither the source tree nor a build directory, and
#     the Python suite runs against that installed module, from a copy of the tests.
#
# Also `make test-python-versions`: the Python suite on each of OTHER_PYTHONS, built with it.
#
# in-env-dist makes and checks the distributions (in-env-dist-package), then tests the wheel
# (in-env-dist-test); `make dist-arm64` (mk/arm64.mk) runs the two in different roots, with
# DIST_BUILD_ENV and DIST_BUILD_FLAGS set to cross-compile the wheel.

DIST_DIR = $(BUILD)/dist
DIST_CHECK = $(BUILD)/dist-check
DIST_VPY = $(CURDIR)/$(DIST_CHECK)/venv/bin/python
OTHER_PYTHONS ?= python3.15 python3.13
DIST_BUILD_ENV ?=
DIST_BUILD_FLAGS ?=

.PHONY: dist test-python-versions in-env-dist in-env-dist-package in-env-dist-test \
        in-env-test-python-versions

dist:
	$(DEVROOT) --with dist $(MAKE) --no-print-directory in-env-$@ BUILD=$(BUILD)

test-python-versions:
	$(DEVROOT) --with versions $(MAKE) --no-print-directory in-env-$@ BUILD=$(BUILD)

in-env-dist:
	@$(MAKE) --no-print-directory in-env-dist-package BUILD=$(BUILD)
	@$(MAKE) --no-print-directory in-env-dist-test BUILD=$(BUILD)

in-env-dist-package:
	@rm -rf $(DIST_DIR) $(DIST_CHECK) && mkdir -p $(DIST_DIR)/built
	@echo "dist: building the sdist, then the wheel from the unpacked sdist"
	@$(DIST_BUILD_ENV) $(PYTHON) -m build --no-isolation --outdir $(DIST_DIR)/built \
	  -Ccmake.define.CORVANE_WERROR=ON $(DIST_BUILD_FLAGS) . \
	  >$(DIST_DIR)/build.log 2>&1 || { cat $(DIST_DIR)/build.log; exit 1; }
	@grep '^Successfully built' $(DIST_DIR)/build.log
	@auditwheel repair --wheel-dir $(DIST_DIR) $(DIST_DIR)/built/*.whl >$(DIST_DIR)/repair.log 2>&1 || \
	  { cat $(DIST_DIR)/repair.log; exit 1; }
	@mv $(DIST_DIR)/built/*.tar.gz $(DIST_DIR)/ && rm -rf $(DIST_DIR)/built
	@case "$$(ls $(DIST_DIR)/*.whl)" in *-manylinux_*.whl) echo "dist: repaired to $$(ls $(DIST_DIR)/*.whl)";; \
	  *) echo "dist: the repaired wheel has no manylinux tag"; exit 1;; esac
	twine --no-color check --strict $(DIST_DIR)/*.tar.gz $(DIST_DIR)/*.whl
	@for archive in $(DIST_DIR)/*.tar.gz $(DIST_DIR)/*.whl; do \
	  $(PYTHON) -c 'import sys, tarfile, zipfile; name = sys.argv[1]; \
	    names = tarfile.open(name).getnames() if name.endswith(".tar.gz") else zipfile.ZipFile(name).namelist(); \
	    found = [n for n in names if n.rsplit("/", 1)[-1] == "LICENSE"]; \
	    print(f"dist: {name.rsplit(chr(47), 1)[-1]} holds {found[0]}") if found else sys.exit(f"dist: no LICENSE in {name}")' \
	    $$archive || exit 1; \
	done
	@auditwheel show $(DIST_DIR)/*.whl 2>/dev/null | tr -s " \n" " " | sed "s/^ //; s/\. .*/./"; echo

in-env-dist-test:
	@rm -rf $(DIST_CHECK) && mkdir -p $(DIST_CHECK)
	$(PYTHON) -m venv --system-site-packages --without-pip $(DIST_CHECK)/venv
	$(DIST_VPY) -m pip install --no-index --no-deps --disable-pip-version-check -q $(DIST_DIR)/*.whl
	cp -r tests examples $(DIST_CHECK)/
	cd $(DIST_CHECK) && $(DIST_VPY) -P -c 'import sys, corvane; \
	  assert corvane.__file__.startswith(sys.prefix), corvane.__file__; \
	  print("dist: testing", corvane.__file__)'
	cd $(DIST_CHECK) && $(DIST_VPY) -P -m pytest $(PYTEST_FLAGS) -p no:cacheprovider tests

in-env-test-python-versions:
	@for python in $(OTHER_PYTHONS); do \
	  echo "test-python-versions: $$python"; \
	  $(MAKE) --no-print-directory in-env-pytest PYTHON=$$python BUILD=$(BUILD)/$$python || exit 1; \
	done
