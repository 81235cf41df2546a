# make test: set up a local virtual environment (reused), install the package with its test
#            extra, run the test suite.
# make run:  the main job, a real optimisation on the sample data.
# make test-heavy: the suite with the long hypothesis profile and the slow stress tests.
# make test-asan:  the extension built with ASan+UBSan into build/asan, the whole suite run on it.
# make lint: ruff (check and format) and mypy on the Python code, clang-format's check on the C++
#            sources; on the installed package with its test extra, whose types mypy reads.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
PYVER := $(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])')
# make run installs the package with its plot extra only; make test adds the test extra (and
# then counts as an install for make run too).
RUN_STAMP := $(VENV)/.installed-run-$(PYVER)
TEST_STAMP := $(VENV)/.installed-test-$(PYVER)
SOURCES := pyproject.toml CMakeLists.txt $(shell find src python -type f ! -name '*.so' ! -name '*.pyc' 2>/dev/null)

.PHONY: test test-heavy test-asan run dev bench lint clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

INSTALL_NOTE := "Installing vela_optimizer into $(VENV): the first install compiles the C++ extension," \
  "a few minutes on two cores (pip shows a spinner while it builds); later ones reuse build/."

$(RUN_STAMP): $(PY) $(SOURCES)
	@echo $(INSTALL_NOTE)
	$(PY) -m pip install '.[plot]'
	touch $@

$(TEST_STAMP): $(PY) $(SOURCES)
	@echo $(INSTALL_NOTE)
	$(PY) -m pip install '.[test,plot]'
	touch $@ $(RUN_STAMP)

test: $(TEST_STAMP)
	cd tests && $(abspath $(PY)) -m pytest -q -p no:cacheprovider --rootdir=.. -c ../pyproject.toml -m "not slow"

test-heavy: $(TEST_STAMP)
	cd tests && HYPOTHESIS_PROFILE=heavy $(abspath $(PY)) -m pytest -q -p no:cacheprovider --rootdir=.. -c ../pyproject.toml

# The sanitized extension goes into a package folder of its own (build/asan/site), ahead of
# python/ on PYTHONPATH, so neither the installed nor the in-place build is touched. The host
# interpreter is not instrumented: libasan must be loaded first (LD_PRELOAD), with libstdc++
# beside it so that ASan's interceptor of C++ throws finds the real one; pymalloc is
# switched off so that ASan sees every object allocation, and the interpreter's own leaks at
# exit are not ours to report.
JOBS ?= 2
ASAN_DIR := build/asan
ASAN_SITE := $(ASAN_DIR)/site
test-asan: $(PY)
	$(PY) -m pip install --quiet numpy pandas scipy pytest hypothesis pybind11
	command -v cmake >/dev/null && command -v ninja >/dev/null || $(PY) -m pip install --quiet cmake ninja
	cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELA_SANITIZE=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir)
	cmake --build $(ASAN_DIR) --parallel $(JOBS)
	mkdir -p $(ASAN_SITE)/vela_optimizer
	ln -sf $(abspath python/vela_optimizer)/*.py $(abspath python/vela_optimizer)/*.pyi \
	  $(abspath python/vela_optimizer)/py.typed $(filter-out %/__pycache__/,$(wildcard $(abspath python/vela_optimizer)/*/)) \
	  $(ASAN_SITE)/vela_optimizer/
	cp $(ASAN_DIR)/optimizer*.so $(ASAN_SITE)/vela_optimizer/
	cd tests && PYTHONPATH=$(abspath $(ASAN_SITE)):$(abspath python) PYTHONMALLOC=malloc \
	  LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  $(abspath $(PY)) -m pytest -q -p no:cacheprovider --rootdir=.. -c ../pyproject.toml

# Pinned: what a linter flags and how a formatter lays code out change between releases.
LINT_TOOLS := ruff==0.17.6 clang-format==23.1.3 mypy==1.19.1
CXX_SOURCES := $(shell find src -name '*.cpp' -o -name '*.hpp' | sort)
lint: $(TEST_STAMP)
	$(PY) -m pip install --quiet $(LINT_TOOLS)
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	$(VENV)/bin/mypy
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)

run: $(RUN_STAMP)
	$(VENV)/bin/vela-optimize --universe 000300.XSHG --limit 30 --method min_variance \
	  --default-bound 0:0.1 --gics Financials=0:0.15

# Fast edit-compile loop: the extension built in place next to the Python sources.
dev: $(PY)
	$(PY) -m pip install --quiet numpy pandas scipy pytest hypothesis pybind11 scikit-build-core ninja cmake
	cmake -S . -B build/dev -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) -DVELA_INPLACE=ON
	cmake --build build/dev

bench: $(TEST_STAMP)
	$(PY) -m pip install --quiet '.[bench]'
	for b in bench/bench_*.py; do $(PY) $$b || exit 1; done

clean:
	rm -rf build $(VENV) python/vela_optimizer/*.so
