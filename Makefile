# Every target sets up .venv itself from the package registries; nothing is installed by hand.
PYTHON ?= python3
VENV   ?= .venv
PY     := $(VENV)/bin/python
STAMP  := $(VENV)/.deps-installed
SOURCES := $(shell find utils -name '*.cpp' -o -name '*.hpp') CMakeLists.txt pyproject.toml

.PHONY: demo test build clean

$(STAMP):
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q numpy numpy-ringbuffer pytest hypothesis scikit-build-core tqdm
	touch $@

$(VENV)/.module-built: $(STAMP) $(SOURCES)
	TDT_WERROR=$${TDT_WERROR:-OFF} $(PY) -m pip install -q --no-build-isolation .
	touch $@

build: $(VENV)/.module-built

demo: build
	$(PY) sim/demo.py $(ARGS)

test: build
	$(PY) -m pytest -q tests $(ARGS)

clean:
	rm -rf build $(VENV)
