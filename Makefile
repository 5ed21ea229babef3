# The two commands of the README quick start, `make demo` and `make test`, do
# all set-up themselves on a fresh Debian machine.
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
BUILD_DIR := build/py  # pyproject.toml's build-dir, where pip builds
DEBIAN_PACKAGES := libeigen3-dev libtbb-dev libmimalloc-dev libgtest-dev build-essential pkg-config
SOURCES := $(shell find src tools morvelin tests/cpp -type f 2>/dev/null) CMakeLists.txt pyproject.toml

.PHONY: all system venv build tools test test-cpp test-python wheel test-numpy1 demo bench clean sanitize fuzz fuzz-system fuzz-build

all: build

# Installs those of the Debian packages $(1) that are missing.
define install_missing
	@missing=""; for p in $(1); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi
endef

# Debian packages, installed only when missing.
system:
	$(call install_missing,$(DEBIAN_PACKAGES))

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
	  -C cmake.define.MORVELIN_BUILD_TESTS=ON ".[test]"
	touch $@

build: system $(VENV)/.installed

test-cpp: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j2

test-python: build
	cd tests/python && ../../$(PY) -m pytest -q
	cd tests && ../$(PY) -m mypy.stubtest morvelin  # as users run it: installed package, no allowlist

test: test-cpp test-python

# The wheel: stable ABI only (abi3audit), and the Python tests against NumPy 1.x
# in a second environment.
NUMPY1_VENV := .venv-numpy1
wheel: build
	rm -rf build/wheel && $(PY) -m pip wheel -q --no-build-isolation --no-deps -w build/wheel .
	$(PY) -m pip install -q abi3audit
	$(VENV)/bin/abi3audit --strict build/wheel/*.whl

test-numpy1: wheel
	[ -x $(NUMPY1_VENV)/bin/python ] || $(PYTHON) -m venv $(NUMPY1_VENV)
	$(NUMPY1_VENV)/bin/python -m pip install -q "numpy<2" pytest pillow "opencv-contrib-python-headless<4.11" pupil-apriltags
	$(NUMPY1_VENV)/bin/python -m pip install -q --force-reinstall --no-deps build/wheel/*.whl
	cd tests/python && ../../$(NUMPY1_VENV)/bin/python -m pytest -q

demo: build
	$(PY) -P -m morvelin demo

# The developer tools of bench/cpp (the per-stage profile among them), built
# without the extension in their own directory.
tools: venv
	$(VENV)/bin/cmake -S . -B build/tools -G Ninja -DCMAKE_BUILD_TYPE=Release -DMORVELIN_BUILD_PYTHON=OFF \
	  -DMORVELIN_BUILD_TOOLS=ON -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja > /dev/null
	$(VENV)/bin/ninja -C build/tools stage_profile

bench: build tools
	cd bench && ../$(PY) -P run.py

# AddressSanitizer + UndefinedBehaviorSanitizer: the core, the extension and the
# C++ tests in their own build directory and environment, so the normal build
# is never touched. The Python interpreter is not instrumented, so the ASan
# runtime is preloaded into it; leak checking stays off there because CPython
# and NumPy keep their allocations until exit by design. The C++ tests run
# with leak checking on.
ASAN_VENV := .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python
ASAN_BUILD_DIR := build/asan
# libstdc++ is preloaded with the runtime: the interpreter does not link it, and
# the runtime must find the real __cxa_throw at start-up to intercept it.
ASAN_RUNTIME = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libstdc++.so)
SANITIZER_ENV := UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:suppressions=$(CURDIR)/tools/sanitizers/ubsan.supp
ASAN_COMMON := abort_on_error=0:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1

$(ASAN_VENV)/.ready:
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_PY) -m pip install -q --upgrade pip
	$(ASAN_PY) -m pip install -q "scikit-build-core>=0.10" cmake ninja numpy
	touch $@

$(ASAN_VENV)/.installed: $(ASAN_VENV)/.ready $(SOURCES)
	CMAKE_BUILD_PARALLEL_LEVEL=2 $(ASAN_PY) -m pip install -q --no-build-isolation -C build-dir=$(ASAN_BUILD_DIR) \
	  -C cmake.define.MORVELIN_SANITIZE=ON -C cmake.define.MORVELIN_BUILD_TESTS=ON ".[test]"
	touch $@

sanitize: system $(ASAN_VENV)/.installed
	$(SANITIZER_ENV) ASAN_OPTIONS=$(ASAN_COMMON):detect_leaks=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tools/sanitizers/lsan.supp \
	  ctest --test-dir $(ASAN_BUILD_DIR) --output-on-failure -j2
	cd tests/python && $(SANITIZER_ENV) ASAN_OPTIONS=$(ASAN_COMMON):detect_leaks=0 \
	  LD_PRELOAD="$(ASAN_RUNTIME)" ../../$(ASAN_PY) -m pytest -q -p no:cacheprovider --capture=sys

# libFuzzer targets (fuzz/fuzz_*.cpp) over the core, built with clang and
# -fsanitize=fuzzer,address,undefined, and the Python API harness
# (fuzz/python_api.py) under atheris against the extension built in the same
# clang build (coverage-instrumented, AddressSanitizer and UBSan), with the
# sanitizer runtime and libFuzzer that atheris ships preloaded. Each runs
# FUZZ_SECONDS, starting from its seed corpus fuzz/corpus/<target> (which holds
# the inputs of past findings, so they are replayed on every run); new corpus
# entries, crash artifacts and logs go under build/fuzz.
FUZZ_SECONDS ?= 60
FUZZ_BUILD_DIR := build/fuzz
FUZZ_VENV := .venv-fuzz
FUZZ_PY := $(FUZZ_VENV)/bin/python
FUZZ_TARGETS := $(sort $(basename $(notdir $(wildcard fuzz/fuzz_*.cpp))))
CLANG_PACKAGES := clang libclang-rt-14-dev
FUZZ_FLAGS = -max_total_time=$(FUZZ_SECONDS) -timeout=20 -rss_limit_mb=3072 -print_final_stats=1
FUZZ_STATS = grep -hE "stat::number_of_executed_units|stat::peak_rss_mb" $(FUZZ_BUILD_DIR)/$(1).log | tr -s ' \n' ' '; echo

fuzz-system:
	$(call install_missing,$(CLANG_PACKAGES))

$(FUZZ_VENV)/.ready:
	$(PYTHON) -m venv $(FUZZ_VENV)
	$(FUZZ_PY) -m pip install -q --upgrade pip
	$(FUZZ_PY) -m pip install -q cmake ninja numpy atheris
	touch $@

# The package as the harness imports it: the Python sources next to the
# extension of the clang build.
fuzz-build: system fuzz-system $(FUZZ_VENV)/.ready
	CC=clang CXX=clang++ $(FUZZ_VENV)/bin/cmake -S . -B $(FUZZ_BUILD_DIR) -G Ninja \
	  -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(FUZZ_VENV)/bin/ninja -DPython_EXECUTABLE=$(CURDIR)/$(FUZZ_PY) \
	  -DCMAKE_BUILD_TYPE=Release -DMORVELIN_BUILD_PYTHON=ON -DMORVELIN_FUZZ=ON >/dev/null
	$(FUZZ_VENV)/bin/cmake --build $(FUZZ_BUILD_DIR) -j2
	rm -rf $(FUZZ_BUILD_DIR)/python && mkdir -p $(FUZZ_BUILD_DIR)/python
	cp -r morvelin $(FUZZ_BUILD_DIR)/python/ && cp $(FUZZ_BUILD_DIR)/morvelin*.so $(FUZZ_BUILD_DIR)/python/morvelin/

FUZZ_SITE = $(shell $(FUZZ_PY) -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
FUZZ_PRELOAD = $(FUZZ_SITE)/asan_with_fuzzer.so $(shell $(CXX) -print-file-name=libstdc++.so)

fuzz: fuzz-build
	@set -e; mkdir -p $(FUZZ_BUILD_DIR)/artifacts; for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD_DIR)/corpus/$$t fuzz/corpus/$$t; \
	  echo "== $$t ($(FUZZ_SECONDS) s)"; \
	  $(SANITIZER_ENV) ASAN_OPTIONS=$(ASAN_COMMON):detect_leaks=1 \
	    $(FUZZ_BUILD_DIR)/fuzz/$$t $(FUZZ_FLAGS) -artifact_prefix=$(FUZZ_BUILD_DIR)/artifacts/$$t- \
	    $(FUZZ_BUILD_DIR)/corpus/$$t fuzz/corpus/$$t 2>$(FUZZ_BUILD_DIR)/$$t.log \
	    || { tail -n 60 $(FUZZ_BUILD_DIR)/$$t.log; exit 1; }; \
	  $(call FUZZ_STATS,$$t); \
	done
	@mkdir -p $(FUZZ_BUILD_DIR)/corpus/python_api fuzz/corpus/python_api
	@echo "== python_api ($(FUZZ_SECONDS) s)"
	@$(SANITIZER_ENV) ASAN_OPTIONS=$(ASAN_COMMON):detect_leaks=0 PYTHONPATH=$(CURDIR)/$(FUZZ_BUILD_DIR)/python \
	  LD_PRELOAD="$(FUZZ_PRELOAD)" $(FUZZ_PY) fuzz/python_api.py $(FUZZ_FLAGS) \
	  -artifact_prefix=$(FUZZ_BUILD_DIR)/artifacts/python_api- $(FUZZ_BUILD_DIR)/corpus/python_api fuzz/corpus/python_api \
	  2>$(FUZZ_BUILD_DIR)/python_api.log || { tail -n 60 $(FUZZ_BUILD_DIR)/python_api.log; exit 1; }
	@$(call FUZZ_STATS,python_api)

clean:
	rm -rf build $(VENV) $(NUMPY1_VENV) $(ASAN_VENV) $(FUZZ_VENV)

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
