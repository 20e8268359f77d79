# Two entry points for a fresh machine: `make demo` and `make test`. Each makes
# what it needs (a .venv from python3.12, the build, the test dependencies).
# Override the interpreter with `make PYTHON=/path/to/python3.12 ...`; test
# another version in its own venv with
# `make test PYTHON_VERSION=3.13 VENV=.venv-3.13`.

SHELL := /bin/bash

# pythonX.Y from PATH when it runs; otherwise a pyenv-installed X.Y (pyenv's
# shim on PATH refuses to run when X.Y is not the selected version).
PYTHON_VERSION ?= 3.12
PYTHON ?= $(shell for p in python$(PYTHON_VERSION) $$HOME/.pyenv/versions/$(PYTHON_VERSION)*/bin/python$(PYTHON_VERSION) \
	/usr/local/bin/python$(PYTHON_VERSION) /usr/bin/python$(PYTHON_VERSION); do \
	if "$$p" -c 'import sys; sys.exit(sys.version_info[:2] != ($(subst .,$(comma) ,$(PYTHON_VERSION))))' >/dev/null 2>&1; \
	then echo "$$p"; break; fi; done)
comma := ,

VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
BUILD_DEPS := scikit-build-core cmake ninja
# mypy and basedpyright check the type stub, dask and distributed the dask
# example, build the sdist (tests/test_typing.py, test_dask.py, test_wheel.py);
# ml_dtypes makes the bfloat16 arrays of tests/test_storage.py and the bench.
DEMO_DEPS := numpy
TEST_DEPS := pytest numpy mypy basedpyright "dask[array]" distributed build ml_dtypes
BENCH_DEPS := numpy matplotlib faiss-cpu threadpoolctl ml_dtypes

.PHONY: demo test test-asan test-tsan test-aarch64 fuzz bench install checks check-tools aarch64-tools clean \
	lint lint-tidy format

# CMake from the venv's build dependencies, for the builds without Python.
CMAKE = PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake
CTEST = PATH="$(CURDIR)/$(VENV)/bin:$$PATH" ctest

demo: install $(VENV)/.demo-deps
	$(PY) examples/demo.py

# The C++ check drivers, built by CMake (the core without Python) and run by
# ctest; pytest runs them too and finds them through VELK_CHECKS_DIR.
CHECKS_DIR := build/checks

checks: $(VENV)/.build-deps
	$(CMAKE) -S . -B $(CHECKS_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELK_PYTHON=OFF -DVELK_CHECKS=ON >/dev/null
	$(CMAKE) --build $(CHECKS_DIR)

test: install checks $(VENV)/.test-deps
	VELK_CHECKS_DIR=$(CURDIR)/$(CHECKS_DIR) $(PY) -m pytest -q $(PYTEST_ARGS)

# Style and static checks; `make lint` changes nothing, `make format` applies
# the two formatters. The tools are pinned PyPI wheels in .venv (the same
# versions as .pre-commit-config.yaml), so every machine formats alike.
# clang-tidy reads the compile commands of a CMake configuration of its own
# (configured only, never built) and checks src/ with the headers it includes.
LINT_DEPS := clang-format==23.1.3 clang-tidy==23.1.4 ruff==0.17.5
LINT_BUILD := build/lint
CXX_FILES = $(shell find src tests -name '*.cpp' -o -name '*.h' | sort)

$(VENV)/.lint-deps: $(VENV)/.created Makefile
	$(PIP) install $(LINT_DEPS)
	touch $@

lint: $(VENV)/.lint-deps $(VENV)/.build-deps
	@status=0; \
	echo "clang-format --dry-run on src/ and tests/"; $(VENV)/bin/clang-format --dry-run -Werror $(CXX_FILES) || status=1; \
	$(MAKE) --no-print-directory lint-tidy || status=1; \
	echo "ruff check"; $(VENV)/bin/ruff check . || status=1; \
	echo "ruff format --check"; $(VENV)/bin/ruff format --check . || status=1; \
	exit $$status

lint-tidy: $(VENV)/.lint-deps $(VENV)/.build-deps
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B $(LINT_BUILD) -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
		-DPython_EXECUTABLE=$(CURDIR)/$(PY) >/dev/null
	$(PY) $(VENV)/bin/run-clang-tidy.py -quiet -p $(LINT_BUILD) -clang-tidy-binary $(VENV)/bin/clang-tidy \
		-j $$(nproc 2>/dev/null || echo 2) '$(CURDIR)/src/'

format: $(VENV)/.lint-deps
	$(VENV)/bin/clang-format -i $(CXX_FILES)
	$(VENV)/bin/ruff format .

# The whole suite against a build with AddressSanitizer and UBSan, in its own
# venv and build directory. CPython is not instrumented, so the ASan runtime is
# preloaded, with libstdc++ so that its throw interceptor finds the real one
# (python itself does not link libstdc++). Leak detection is off because the
# interpreter never frees its objects at exit (test_leaks.py measures our own
# leaks); a refused huge allocation must reach the module as bad_alloc.
# PYTHONMALLOC=malloc lets ASan see every Python object, so a reference the
# module drops once too often is a use-after-free report. The packaging tests
# build uninstrumented wheels with the compiler, which gains nothing from the
# preloaded runtime; make test runs them.
ASAN_VENV := .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python
ASAN_PIP := $(ASAN_PY) -m pip --disable-pip-version-check -q
ASAN_ENV = LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONMALLOC=malloc VELK_SKIP_PACKAGING=1

$(ASAN_VENV)/.deps: | check-tools
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_PIP) install --upgrade pip
	$(ASAN_PIP) install $(BUILD_DEPS) $(TEST_DEPS)
	touch $@

# Tests that cap the address space with RLIMIT_AS cannot run here: the
# sanitizer's shadow memory needs terabytes of it. The demo test starts python
# with an empty environment, so the runtime would not be preloaded there. The
# fork checks and dask's threaded interrupt case run in the plain suites only:
# under the sanitizers, a child forked while instrumented threads run can wait
# on the sanitizer runtime's own locks past its alarm (with 256 workers, and
# once with 2), and the slower timing of dask's threaded scheduler once ended an
# interrupt loop before its signal was sent. The other signal cases run here.
ASAN_DESELECT := \
	--deselect tests/test_pool.py::test_address_space_limits_give_results_memory_errors_or_the_pool_panics \
	--deselect tests/test_pool.py::test_the_largest_worker_count_fails_in_bounded_time_when_threads_run_out \
	--deselect tests/test_panic.py::test_exhausted_native_memory_is_a_memory_error \
	--deselect tests/test_examples.py::test_demo_real_data_section_runs_with_numpy_alone \
	--deselect tests/test_interrupt.py::test_children_forked_before_during_and_after_pool_creation_never_hang \
	--deselect 'tests/test_interrupt.py::test_a_signal_handler_that_raises_stops_the_search_and_the_next_call_is_exact[256-None-threads]'

test-asan: $(ASAN_VENV)/.deps checks
	$(ASAN_PIP) install --no-build-isolation --no-deps -Ccmake.define.VELK_SANITIZE=ON -Cbuild-dir=build/asan .
	VELK_CHECKS_DIR=$(CURDIR)/$(CHECKS_DIR) $(ASAN_ENV) $(ASAN_PY) -m pytest -q -p no:cacheprovider $(ASAN_DESELECT) $(PYTEST_ARGS)

# The worker pool and flat scoring driven from several threads at once, without
# Python, under ThreadSanitizer: concurrent submissions, failing ranges, many
# tiny calls, two threads racing to create the pool. Any report fails the run.
test-tsan: $(VENV)/.build-deps
	$(CMAKE) -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELK_PYTHON=OFF -DVELK_TSAN=ON >/dev/null
	$(CMAKE) --build build/tsan --target pool_stress
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build/tsan/pool_stress

# Longer fuzzing than `make test` does: the Python harness under atheris, then
# the numeric core under libFuzzer (needs clang). FUZZ_SECONDS bounds each.
FUZZ_SECONDS ?= 300
CLANGXX ?= $(shell for c in clang++-18 clang++-17 clang++-16 clang++-15 clang++; do command -v $$c && break; done)

$(VENV)/.fuzz-deps: $(VENV)/.created
	$(PIP) install atheris $(TEST_DEPS)
	touch $@

fuzz: install $(VENV)/.fuzz-deps
	$(PY) tests/fuzz/fuzz_calls.py -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=4096 -print_final_stats=1
	@if [ -z "$(CLANGXX)" ]; then echo "fuzz: no clang++ (apt-get install clang libclang-rt-dev)" >&2; exit 1; fi
	$(CMAKE) -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=$(CLANGXX) \
		-DVELK_PYTHON=OFF -DVELK_FUZZ=ON >/dev/null
	$(CMAKE) --build build/fuzz --target fuzz_core
	mkdir -p build/fuzz/corpus
	build/fuzz/fuzz_core -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 build/fuzz/corpus

# The numeric core on 64-bit ARM, without ARM hardware: CMake cross-compiles
# the core and the check drivers (cmake/aarch64-linux-gnu.cmake, linked
# statically) and ctest runs them under qemu-user, checks that no core object
# holds a fused multiply-add, and compares each fixed-seed hash with the one
# the host build of the same drivers prints (cmake/cross_checks.cmake).
AARCH64_CXX ?= aarch64-linux-gnu-g++
QEMU_AARCH64 ?= qemu-aarch64

test-aarch64: checks aarch64-tools
	$(CMAKE) -S . -B build/aarch64 -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64-linux-gnu.cmake -DVELK_AARCH64_CXX=$(AARCH64_CXX) \
		-DVELK_QEMU_AARCH64=$(QEMU_AARCH64) -DVELK_PYTHON=OFF -DVELK_CHECKS=ON \
		-DVELK_HOST_CHECKS=$(CURDIR)/$(CHECKS_DIR) >/dev/null
	$(CMAKE) --build build/aarch64
	$(CTEST) --test-dir build/aarch64 --output-on-failure -V

# Installs the cross compiler and qemu-user where they are missing and root may.
aarch64-tools:
	@need=""; \
	command -v $(AARCH64_CXX) >/dev/null 2>&1 || need="g++-aarch64-linux-gnu"; \
	command -v $(QEMU_AARCH64) >/dev/null 2>&1 || need="$$need qemu-user"; \
	if [ -n "$$need" ]; then \
		if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then \
			echo "test-aarch64: installing $$need"; \
			apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $$need; \
		else \
			echo "error: test-aarch64 needs an aarch64 cross compiler and qemu-user. Install them" >&2; \
			echo "  (Debian/Ubuntu, as root: apt-get install $$need)," >&2; \
			echo "  or name yours: make test-aarch64 AARCH64_CXX=... QEMU_AARCH64=..." >&2; exit 1; \
		fi; \
	fi

# Writes benchmarks/results/ and, from results.json, docs/benchmarks.md and
# README's speed summary (`$(PY) benchmarks/run.py --from-results` rewrites
# those two without measuring). kernel_check (a check driver) gives the
# plain-read floor printed beside each single-query shape.
bench: install checks $(VENV)/.bench-deps
	VELK_CHECKS_DIR=$(CURDIR)/$(CHECKS_DIR) $(PY) benchmarks/run.py

check-tools:
	@if [ -z "$(PYTHON)" ] || ! "$(PYTHON)" -c 'import sys, venv; sys.exit(sys.version_info[:2] != ($(subst .,$(comma) ,$(PYTHON_VERSION))))' >/dev/null 2>&1; then \
		echo "error: no working python$(PYTHON_VERSION) found$(if $(PYTHON), ('$(PYTHON)' is not a Python $(PYTHON_VERSION) with venv),). Install Python $(PYTHON_VERSION) with its venv module" >&2; \
		echo "  (Debian/Ubuntu: apt-get install python$(PYTHON_VERSION) python$(PYTHON_VERSION)-venv python$(PYTHON_VERSION)-dev)," >&2; \
		echo "  or pass one: make PYTHON=/path/to/python$(PYTHON_VERSION) $(MAKECMDGOALS)" >&2; exit 1; fi
	@if ! command -v c++ >/dev/null 2>&1 && ! command -v g++ >/dev/null 2>&1; then \
		echo "error: no C++ compiler found. Install g++ 10 or newer (Debian/Ubuntu: apt-get install g++)." >&2; exit 1; fi

$(VENV)/.created: | check-tools
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --upgrade pip
	touch $@

$(VENV)/.build-deps: $(VENV)/.created
	$(PIP) install $(BUILD_DEPS)
	touch $@

$(VENV)/.demo-deps: $(VENV)/.created
	$(PIP) install $(DEMO_DEPS)
	touch $@

# Re-run when the Makefile (and so the list) changes.
$(VENV)/.test-deps: $(VENV)/.created Makefile
	$(PIP) install $(TEST_DEPS)
	touch $@

$(VENV)/.bench-deps: $(VENV)/.created
	$(PIP) install $(BENCH_DEPS)
	touch $@

# Rebuilt on every run; the CMake build directory under build/ keeps it
# incremental.
install: $(VENV)/.build-deps
	$(PIP) install --no-build-isolation --no-deps .

clean:
	rm -rf build $(VENV) $(ASAN_VENV) .venv-3.*
