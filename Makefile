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
BUILD_DEPS := scikit-build-core cmake ninja tbb-devel==2023.2.0 tbb==2023.2.0
# mypy and basedpyright check the type stub, dask and distributed the dask
# example, build the sdist (tests/test_typing.py, test_dask.py, test_wheel.py).
TEST_DEPS := pytest numpy mypy basedpyright "dask[array]" distributed build
BENCH_DEPS := numpy matplotlib faiss-cpu threadpoolctl

.PHONY: demo test bench install check-tools clean

demo: install
	$(PY) examples/demo.py

test: install $(VENV)/.test-deps
	$(PY) -m pytest -q $(PYTEST_ARGS)

bench: install $(VENV)/.bench-deps
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
	rm -rf build $(VENV)
