# The two commands of the README quick start, `make demo` and `make test`, do
# all set-up themselves on a fresh Debian machine.
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
BUILD_DIR := build/py
DEBIAN_PACKAGES := libeigen3-dev libtbb-dev libmimalloc-dev libgtest-dev build-essential pkg-config
SOURCES := $(shell find src tools morvelin -type f 2>/dev/null) CMakeLists.txt pyproject.toml

.PHONY: all system venv build test test-cpp test-python wheel test-numpy1 demo bench clean

all: build

# Debian packages, installed only when missing.
system:
	@missing=""; for p in $(DEBIAN_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

$(VENV)/.ready:
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" cmake ninja numpy
	touch $@

venv: system $(VENV)/.ready

# Build and install the package (with its test extras) into the virtual
# environment. The CMake build directory is kept, so rebuilds are incremental;
# the same build also compiles the C++ unit tests.
$(VENV)/.installed: $(VENV)/.ready $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation \
	  -C build-dir=$(BUILD_DIR) -C cmake.define.MORVELIN_BUILD_TESTS=ON ".[test]"
	touch $@

build: system $(VENV)/.installed

test-cpp: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j2

test-python: build
	cd tests/python && ../../$(PY) -m pytest -q
	cd tests && ../$(PY) -m mypy.stubtest morvelin --allowlist ../tools/stubtest_allowlist.txt

test: test-cpp test-python

# The wheel: stable ABI only (abi3audit), and the Python tests against NumPy 1.x
# in a second environment.
NUMPY1_VENV := .venv-numpy1
wheel: build
	rm -rf build/wheel && $(PY) -m pip wheel -q --no-build-isolation --no-deps -C build-dir=$(BUILD_DIR) -w build/wheel .
	$(PY) -m pip install -q abi3audit
	$(VENV)/bin/abi3audit --strict build/wheel/*.whl

test-numpy1: wheel
	[ -x $(NUMPY1_VENV)/bin/python ] || $(PYTHON) -m venv $(NUMPY1_VENV)
	$(NUMPY1_VENV)/bin/python -m pip install -q "numpy<2" pytest pillow "opencv-contrib-python-headless<4.11" pupil-apriltags
	$(NUMPY1_VENV)/bin/python -m pip install -q --force-reinstall --no-deps build/wheel/*.whl
	cd tests/python && ../../$(NUMPY1_VENV)/bin/python -m pytest -q

demo: build
	$(PY) -P -m morvelin demo

bench: build
	cd bench && ../$(PY) -P run.py

clean:
	rm -rf build $(VENV) $(NUMPY1_VENV)
