# Developer entry points.  `make test` sets everything up on a fresh machine
# (Python 3.11 with pip, g++, root for apt) and runs every test.
PYTHON ?= python3
VENV   := .venv
VPY    := $(VENV)/bin/python
CMAKE  := $(VENV)/bin/cmake
CTEST  := $(VENV)/bin/ctest
JOBS   ?= 2
# The build kinds (tests, tsan, asan, fuzz, armhf, musl) and their flags are
# the presets of CMakePresets.json; each keeps its own directory in build/.

.PHONY: all venv gtest cpp-build cpp-test py-install py-test test check clean

all: test

venv: $(VENV)/.stamp
$(VENV)/.stamp: requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt
	touch $@

gtest:
	scripts/ensure-gtest

cpp-build: venv gtest
	$(CMAKE) --preset tests
	$(CMAKE) --build --preset tests -j $(JOBS)

cpp-test: cpp-build
	$(CTEST) --preset tests -j $(JOBS)

py-install: venv
	$(VPY) -m pip install -q --no-build-isolation .

# PYTEST_ARGS go to pytest (`make py-test PYTEST_ARGS=tests/python/test_cli.py`).
# pytest exits with 5 when it collects no test (a wrong `testpaths`, say):
# like any other non-zero status, that fails the target.
PYTEST_ARGS ?=
py-test: py-install
	$(VPY) -m pytest -q $(PYTEST_ARGS)

# Everything CI runs.  `make check` is the quick subset for day-to-day work.
test: cpp-test tsan-test py-test py-test-numpy1 asan-test fuzz-test armhf-test musl-test wheels-test

check: cpp-test py-test

clean:
	rm -rf build $(VENV)

# The Python suite once more on Debian's own Python and NumPy 1.x (the
# extension finds NumPy's C API at run time, so it is built for each).  The
# venv sees the system packages and holds only the build and test tools.
NUMPY1_APT  := python3 python3-dev python3-venv python3-numpy python3-pandas python3-matplotlib python3-hypothesis
NUMPY1_VENV := build/venv-numpy1
NUMPY1_PY   := $(NUMPY1_VENV)/bin/python

.PHONY: py-install-numpy1 py-test-numpy1
$(NUMPY1_VENV)/.stamp:
	dpkg -s $(NUMPY1_APT) >/dev/null 2>&1 || \
	  (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(NUMPY1_APT))
	/usr/bin/python3 -m venv --system-site-packages $(NUMPY1_VENV)
	$(NUMPY1_PY) -m pip install -q scikit-build-core cmake ninja pytest
	touch $@

py-install-numpy1: $(NUMPY1_VENV)/.stamp
	$(NUMPY1_PY) -m pip install -q --no-build-isolation --no-deps \
	  --config-settings=build-dir=build/numpy1-{wheel_tag} .

py-test-numpy1: py-install-numpy1
	$(NUMPY1_PY) -c "import numpy; assert numpy.__version__.startswith('1.'), numpy.__version__"
	$(NUMPY1_PY) -m pytest -q $(PYTEST_ARGS)

# Cross-built 32-bit ARM (glibc) and musl checks under qemu-user; the first
# run needs root for apt-get, later runs use the downloads cached in .cache/
# and the musl builds cached outside the checkout (scripts/musl-python).
.PHONY: armhf-test musl-test musl-python
armhf-test: venv
	scripts/check-armhf

musl-test: venv
	scripts/check-musl

# Only the musl CPython with NumPy and the test tools: .cache/musl/bin/python3.
musl-python: venv
	scripts/musl-python >/dev/null

# The wheels for linux x86_64, armv7l glibc and armv7l musl in dist/, then
# each installed with pip into its own target Python and smoke-tested there
# (the emulated ones under qemu).  wheels-test builds the wheels it tests.
.PHONY: wheels wheels-test
wheels: venv
	scripts/build-wheels

wheels-test: wheels
	$(VPY) -m pytest -q -p no:cacheprovider tests/scripts
	scripts/test-wheels

# The demo: a synthetic field merged, written as CSV with a before/after plot
# and as a GeoPackage (build/demo/).  Sets up .venv and the package first;
# matplotlib and geopandas come from requirements-dev.txt.
.PHONY: demo bench bench-fields
DEMO_OUT := build/demo
demo: py-install
	$(VPY) -m rowmerge demo --geo --out $(DEMO_OUT)

# rowmerge against the literal merge, a NumPy merge and the copy floor, then
# the cost of a call beyond its merge (a few minutes; the machine should be
# otherwise idle).
bench: py-install
	bench/literal/build.sh build/bench/libliteral.so
	$(VPY) bench/compare.py
	$(VPY) bench/calls.py

# Many fields in a loop, on a spawn pool and on a local Dask cluster, and one
# large field on the cluster against one native call (about 15 minutes).
bench-fields: py-install
	$(VPY) bench/fields.py

# The concurrent code's tests once more under ThreadSanitizer, in their own
# build directory (build/tsan).  Suites join this run by carrying the ctest
# label "tsan" and adding their test target to `tsan_tests`.
.PHONY: tsan-test
tsan-test: venv gtest
	$(CMAKE) --preset tsan
	$(CMAKE) --build --preset tsan -j $(JOBS)
	$(CTEST) --preset tsan -j $(JOBS)

# Hardening runs.  asan-test: the whole pytest suite against an ASan + UBSan
# build of the extension (build/asan; .venv keeps its normal build).
# fuzz-test: the libFuzzer harness of the core under ASan + UBSan for
# FUZZ_SECONDS (installs clang from Debian when missing).
FUZZ_SECONDS ?= 60
.PHONY: asan-test fuzz-test
asan-test: venv
	scripts/asan-pytest

fuzz-test: venv
	scripts/fuzz-core $(FUZZ_SECONDS)
