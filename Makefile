# Two entry points for a fresh machine: `make demo` and `make test`. Each makes
# what it needs (a .venv from python3.12, the build, the test dependencies).
# Override the interpreter with `make PYTHON=/path/to/python3.12 ...`.

SHELL := /bin/bash

# python3.12 from PATH when it runs; otherwise a pyenv-installed 3.12 (pyenv's
# shim on PATH refuses to run when 3.12 is not the selected version).
PYTHON ?= $(shell for p in python3.12 $$HOME/.pyenv/versions/3.12*/bin/python3.12 /usr/local/bin/python3.12 /usr/bin/python3.12; do \
	if "$$p" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1; then echo "$$p"; break; fi; done)

VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
BUILD_DEPS := scikit-build-core cmake ninja
# mypy and basedpyright check the type stub, dask and distributed the dask
# example, build the sdist (tests/test_typing.py, test_dask.py, test_wheel.py).
DEMO_DEPS := numpy
TEST_DEPS := pytest numpy mypy basedpyright "dask[array]" distributed build
BENCH_DEPS := numpy matplotlib faiss-cpu threadpoolctl

.PHONY: demo test test-asan test-tsan fuzz bench install check-tools clean lint lint-tidy format

demo: install $(VENV)/.demo-deps
	$(PY) examples/demo.py

test: install $(VENV)/.test-deps
	$(PY) -m pytest -q $(PYTEST_ARGS)

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
# with an empty environment, so the runtime would not be preloaded there.
ASAN_DESELECT := \
	--deselect tests/test_pool.py::test_address_space_limits_give_results_memory_errors_or_the_pool_panics \
	--deselect tests/test_pool.py::test_the_largest_worker_count_fails_in_bounded_time_when_threads_run_out \
	--deselect tests/test_panic.py::test_exhausted_native_memory_is_a_memory_error \
	--deselect tests/test_examples.py::test_demo_real_data_section_runs_with_numpy_alone

test-asan: $(ASAN_VENV)/.deps
	$(ASAN_PIP) install --no-build-isolation --no-deps -Ccmake.define.VELK_SANITIZE=ON -Cbuild-dir=build/asan .
	$(ASAN_ENV) $(ASAN_PY) -m pytest -q -p no:cacheprovider $(ASAN_DESELECT) $(PYTEST_ARGS)

# The worker pool and flat scoring driven from several threads at once, without
# Python, under ThreadSanitizer: concurrent submissions, failing ranges, many
# tiny calls, two threads racing to create the pool. Any report fails the run.
test-tsan: $(VENV)/.build-deps
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DVELK_TSAN=ON -DPython_EXECUTABLE=$(CURDIR)/$(PY) >/dev/null
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build build/tsan --target pool_stress
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
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_CXX_COMPILER=$(CLANGXX) -DVELK_FUZZ=ON -DPython_EXECUTABLE=$(CURDIR)/$(PY) >/dev/null
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build build/fuzz --target fuzz_core
	mkdir -p build/fuzz/corpus
	build/fuzz/fuzz_core -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 build/fuzz/corpus

# The numeric core on 64-bit ARM, without ARM hardware: the core's sources and
# the drivers below are cross-compiled (linked statically, so qemu needs no ARM
# libraries) and run under qemu-user. kernel_check compares every NEON result
# with the scalar reference bit for bit and checks the scoring scope on FPCR;
# its fixed-seed flat scoring pass must hash to the value that the same pass
# gives on this machine. flat_search_check runs flat_top_k through the worker
# pool (three workers) against a one-thread reference, and its result hash must
# match this machine's too. batch_search_check compares the batch search's tile
# kernels (NEON and scalar) with one flat_top_k call per query, and its hash
# must match this machine's as well. No core object may hold a fused
# multiply-add. To add a driver: put its name (tests/NAME.cpp) in
# AARCH64_DRIVERS, the core sources it needs in CORE_SOURCES, and its run to the
# recipe.
AARCH64_CXX ?= aarch64-linux-gnu-g++
AARCH64_OBJDUMP ?= aarch64-linux-gnu-objdump
QEMU_AARCH64 ?= qemu-aarch64
CORE_SOURCES := $(addprefix src/similarity/,cosine.cpp simd_level.cpp simd_kernels.cpp simd_kernels_sse2.cpp \
	simd_kernels_avx2.cpp simd_kernels_avx512.cpp simd_kernels_neon.cpp row_scoring.cpp ranking.cpp panic.cpp \
	worker_pool.cpp top_k_collector.cpp row_search.cpp search.cpp tile_search.cpp)
AARCH64_DRIVERS := kernel_check flat_search_check batch_search_check
CHECK_FLAGS := -std=c++20 -O3 -ffp-contract=off -fno-fast-math -Wall -Wextra -pthread -Isrc -MMD -MP
# On an x86-64 host each kernel file gets its instruction set, as in CMakeLists.txt.
HOST_X86 := $(filter x86_64 amd64,$(shell uname -m))
ISA_FLAGS_simd_kernels_avx2 := -mavx2
ISA_FLAGS_simd_kernels_avx512 := -mavx512f
HOST_CHECK := build/check/host
ARM_CHECK := build/check/aarch64
core_objects = $(patsubst %.cpp,$(1)/%.o,$(CORE_SOURCES))
# Rows, row width and seed of the hashed scoring pass.
HASH_CASE := 30011 100 7

.PHONY: test-aarch64 aarch64-tools
.PRECIOUS: $(HOST_CHECK)/%.o $(ARM_CHECK)/%.o

test-aarch64: $(AARCH64_DRIVERS:%=$(ARM_CHECK)/bin/%) $(AARCH64_DRIVERS:%=$(HOST_CHECK)/bin/%)
	@if $(AARCH64_OBJDUMP) -d $(call core_objects,$(ARM_CHECK)) | grep -Ew 'fn?m(add|sub)|fml[as]'; then \
		echo "error: a fused multiply-add in the aarch64 core (above); scores must round each product" >&2; exit 1; fi
	@echo "no fused multiply-add in the aarch64 core objects"
	@out=$$($(QEMU_AARCH64) $(ARM_CHECK)/bin/kernel_check) || { echo "$$out"; exit 1; }; echo "$$out"; \
		echo "$$out" | grep -q '^checked neon' || { echo "error: NEON was not checked" >&2; exit 1; }
	$(QEMU_AARCH64) $(ARM_CHECK)/bin/kernel_check environment
	@host=$$($(HOST_CHECK)/bin/kernel_check hash $(HASH_CASE)) && arm=$$($(QEMU_AARCH64) $(ARM_CHECK)/bin/kernel_check hash $(HASH_CASE)) && \
		echo "score hash on this machine: $$host" && echo "score hash on aarch64:      $$arm" && \
		if [ "$${host%% *}" != "$${arm%% *}" ]; then echo "error: the score hashes differ" >&2; exit 1; fi
	@host=$$(RAYON_NUM_THREADS=3 $(HOST_CHECK)/bin/flat_search_check) || { echo "$$host"; exit 1; }; \
		arm=$$(RAYON_NUM_THREADS=3 $(QEMU_AARCH64) $(ARM_CHECK)/bin/flat_search_check) || { echo "$$arm"; exit 1; }; \
		echo "$$arm"; echo "on this machine: $$(echo "$$host" | tail -n 1)"; \
		if [ "$$(echo "$$host" | tail -n 1)" != "$$(echo "$$arm" | tail -n 1)" ]; then \
			echo "error: the flat search hashes differ" >&2; exit 1; fi
	@out=$$(RAYON_NUM_THREADS=3 $(QEMU_AARCH64) $(ARM_CHECK)/bin/batch_search_check) || { echo "$$out"; exit 1; }; \
		echo "$$out"; echo "$$out" | grep -q '^checked neon' || { echo "error: the NEON batch search was not checked" >&2; exit 1; }
	@host=$$($(HOST_CHECK)/bin/batch_search_check hash) && arm=$$($(QEMU_AARCH64) $(ARM_CHECK)/bin/batch_search_check hash) && \
		echo "batch search hash on this machine: $$host" && echo "batch search hash on aarch64:      $$arm" && \
		if [ "$${host%% *}" != "$${arm%% *}" ]; then echo "error: the batch search hashes differ" >&2; exit 1; fi

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
			echo "  or name yours: make test-aarch64 AARCH64_CXX=... AARCH64_OBJDUMP=... QEMU_AARCH64=..." >&2; exit 1; \
		fi; \
	fi

$(HOST_CHECK)/%.o: %.cpp
	@mkdir -p $(@D)
	$(CXX) $(CHECK_FLAGS) $(if $(HOST_X86),$(ISA_FLAGS_$(basename $(notdir $<)))) -c $< -o $@

$(HOST_CHECK)/bin/%: $(HOST_CHECK)/tests/%.o $(call core_objects,$(HOST_CHECK))
	@mkdir -p $(@D)
	$(CXX) -pthread -o $@ $^

$(ARM_CHECK)/%.o: %.cpp | aarch64-tools
	@mkdir -p $(@D)
	$(AARCH64_CXX) $(CHECK_FLAGS) -c $< -o $@

$(ARM_CHECK)/bin/%: $(ARM_CHECK)/tests/%.o $(call core_objects,$(ARM_CHECK))
	@mkdir -p $(@D)
	$(AARCH64_CXX) -static -pthread -o $@ $^

-include $(wildcard $(HOST_CHECK)/*/*.d $(HOST_CHECK)/*/*/*.d $(ARM_CHECK)/*/*.d $(ARM_CHECK)/*/*/*.d)

# Writes benchmarks/results/ and, from results.json, docs/benchmarks.md and
# README's speed summary (`$(PY) benchmarks/run.py --from-results` rewrites
# those two without measuring). kernel_check (the host build of
# test-aarch64's drivers) gives the plain-read floor beside each single-query
# shape.
bench: install $(VENV)/.bench-deps $(HOST_CHECK)/bin/kernel_check
	$(PY) benchmarks/run.py

check-tools:
	@if [ -z "$(PYTHON)" ] || ! "$(PYTHON)" -c 'import sys, venv; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1; then \
		echo "error: no working python3.12 found$(if $(PYTHON), ('$(PYTHON)' is not a Python 3.12 with venv),). Install Python 3.12 with its venv module" >&2; \
		echo "  (Debian/Ubuntu: apt-get install python3.12 python3.12-venv python3.12-dev)," >&2; \
		echo "  or pass one: make PYTHON=/path/to/python3.12 $(MAKECMDGOALS)" >&2; exit 1; fi
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
	rm -rf build $(VENV) $(ASAN_VENV)
