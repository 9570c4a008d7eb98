# Every target sets up .venv itself from the package registries; nothing is installed by hand.
PYTHON ?= python3
VENV   ?= .venv
PY     := $(VENV)/bin/python
STAMP  := $(VENV)/.deps-installed
SOURCES := $(shell find utils -name '*.cpp' -o -name '*.hpp') CMakeLists.txt pyproject.toml

.PHONY: demo test test-nocache test-stats bench build clean leaks asan matrix stress wheels

# The dependencies are declared in pyproject.toml; an edit there installs what is new.
$(STAMP): pyproject.toml
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $$($(PY) tools/requirements.py --build test demo)
	touch $@

$(VENV)/.module-built: $(STAMP) $(SOURCES)
	TDT_WERROR=$${TDT_WERROR:-OFF} $(PY) -m pip install -q --no-build-isolation .
	touch $@

build: $(VENV)/.module-built

demo: build
	$(PY) sim/demo.py $(ARGS)

test: build
	$(PY) -m pytest -q tests $(ARGS)

# The suite on the module built without its caches (TDT_CACHES=OFF), in build/nocache.
test-nocache: $(STAMP)
	tools/nocache.sh $(PY) $(ARGS)

# The suite on the module built with its fast-path counters (TDT_STATS=ON), in build/stats.
test-stats: $(STAMP)
	tools/stats.sh $(PY) $(ARGS)

bench: build
	tools/bench.sh $(ARGS)

clean:
	rm -rf build dist $(VENV)

# ---- reliability checks (README, "Reliability") ----
MATRIX ?= all
STRESS_SECONDS ?= 30

leaks:
	tools/leaks.sh

asan: $(STAMP)
	tools/asan.sh $(PY) $(ARGS)

matrix:
	tools/matrix.sh $(MATRIX)

stress: build
	STRESS_SECONDS=$(STRESS_SECONDS) $(PY) -m pytest -q tests/test_threads.py $(ARGS)

# ---- packaging (README, "Install") ----
WHEELS ?= all

# An sdist and a manylinux wheel per CPython that pyenv has (WHEELS=min-max: oldest and newest),
# each checked in a fresh venv, in dist/.
wheels: $(STAMP)
	tools/wheels.sh $(PY) $(WHEELS)
