# make test: set up a local virtual environment (reused), install the package with its test
#            extra, run the test suite.
# make run:  the main job, a real optimisation on the sample data.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.installed-$(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])')
SOURCES := pyproject.toml CMakeLists.txt $(shell find src python -type f ! -name '*.so' ! -name '*.pyc' 2>/dev/null)

.PHONY: test run dev bench clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

$(STAMP): $(PY) $(SOURCES)
	$(PY) -m pip install --quiet '.[test,plot]'
	touch $@

test: $(STAMP)
	cd tests && ../$(PY) -m pytest -q -p no:cacheprovider --rootdir=.. -c ../pyproject.toml

run: $(STAMP)
	$(VENV)/bin/vela-optimize --universe 000300.XSHG --limit 30 --method min_variance \
	  --default-bound 0:0.1 --gics Financials=0:0.15

# Fast edit-compile loop: the extension built in place next to the Python sources.
dev: $(PY)
	$(PY) -m pip install --quiet numpy pandas scipy pytest hypothesis pybind11 scikit-build-core ninja cmake
	cmake -S . -B build/dev -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) -DVELA_INPLACE=ON
	cmake --build build/dev

bench: $(STAMP)
	for b in bench/bench_*.py; do $(PY) $$b || exit 1; done

clean:
	rm -rf build $(VENV) python/vela_optimizer/*.so
