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

# --- robustness checks beyond `make test` (CI runs them after it) -----------
# Thread stress, fork, reference-count and quick hostile-input tests are part
# of `make test`; these targets add the slow ones: ThreadSanitizer, leak loops,
# huge inputs and the memory checker.
CMAKE := $(VENV)/bin/cmake
TSAN_DIR := build/tsan
TSAN_RUNTIME = $(shell $(CXX) -print-file-name=libtsan.so.2)
TSAN_ENV = TSAN_OPTIONS="suppressions=$(CURDIR)/tools/sanitizers/tsan.supp halt_on_error=1 second_deadlock_stack=1"

.PHONY: tsan test-leaks test-hostile valgrind
# A ThreadSanitizer build of the C++ tests and of the extension, which runs
# in the uninstrumented interpreter with the sanitizer runtime preloaded.
tsan: venv
	$(CMAKE) -S . -B $(TSAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVELIN_BUILD_TESTS=ON \
	  -DPython_EXECUTABLE=$(CURDIR)/$(PY) -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DMORVELIN_TSAN=ON >/dev/null
	$(VENV)/bin/ninja -C $(TSAN_DIR) -j2
	rm -rf $(TSAN_DIR)/site && mkdir -p $(TSAN_DIR)/site/morvelin
	cp morvelin/*.py morvelin/*.pyi $(TSAN_DIR)/morvelin*.so $(TSAN_DIR)/site/morvelin/
	$(TSAN_ENV) $(VENV)/bin/ctest --test-dir $(TSAN_DIR) -j2 --output-on-failure
	cd tests/python && $(TSAN_ENV) PYTHONMALLOC=malloc MORVELIN_STRESS_ROUNDS=2 \
	  PYTHONPATH=$(CURDIR)/$(TSAN_DIR)/site LD_PRELOAD=$(TSAN_RUNTIME) \
	  ../../$(PY) -m pytest -q -s -p no:cacheprovider test_stress_threads.py test_fork.py

# 10**5 calls of every function with resident memory compared, and traced
# Python allocations; the reference-count checks run in `make test` already.
test-leaks: build
	cd tests/python && ../../$(PY) -m pytest -q -p no:cacheprovider --slow -m slow test_leaks.py

# Hostile input that takes long or much memory (a 10-gigapixel view, pose
# solvers on millions of points); the quick cases run in `make test`.
test-hostile: build
	cd tests/python && ../../$(PY) -m pytest -q -p no:cacheprovider --slow -m slow test_hostile_input.py

# The memory checker over a workload of every function, succeeding and
# failing, from one and from four threads. The module switches to the system
# allocator under it, so its own buffers are checked too.
VALGRIND_FLAGS := --tool=memcheck --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
  --num-callers=40 --error-exitcode=3 --suppressions=$(CURDIR)/tools/sanitizers/python.supp
# Installing the checker brings the header that the allocator looks for, so
# the module is rebuilt then.
valgrind: venv
	@command -v valgrind >/dev/null || { SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq valgrind && \
	  touch src/runtime/allocator.cpp; }
	$(MAKE) build
	PYTHONMALLOC=malloc valgrind $(VALGRIND_FLAGS) $(PY) tools/sanitizers/memcheck_workload.py
