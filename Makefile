# Two commands for a newcomer: `make demo` and `make test`. Each sets up
# .venv (pinned dependencies from constraints.txt) and builds the extension.
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
UV     := $(VENV)/bin/uv
UV_VERSION := 0.8.24
DEPS_STAMP  := $(VENV)/.deps-installed
BUILD_STAMP := $(VENV)/.corvel-installed
SOURCES := $(shell find src -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.json' \) -not -path 'src/corvel/connector_configs/*') CMakeLists.txt pyproject.toml

export DO_NOT_TRACK := 1

.PHONY: setup build test demo sanitize bench lock clean

setup: $(BUILD_STAMP)

$(DEPS_STAMP): pyproject.toml constraints.txt
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --disable-pip-version-check uv==$(UV_VERSION)
	$(UV) pip install -q --compile-bytecode --python $(PY) -r constraints.txt
	touch $@

# The extension is installed into the venv like any wheel, so the package
# directory it sits in is the installed corvel package.
$(BUILD_STAMP): $(DEPS_STAMP) $(SOURCES)
	$(UV) pip install -q --python $(PY) --no-deps --reinstall-package corvel -c constraints.txt .
	touch $@

build: $(BUILD_STAMP)

test: $(BUILD_STAMP)
	$(PY) -m pytest -q -p no:cacheprovider tests bench/tests

demo: $(BUILD_STAMP)
	$(PY) -m corvel.demo

bench: $(BUILD_STAMP)
	$(PY) bench/run.py

# Refreshes the pinned versions; commit constraints.txt afterwards.
lock:
	$(UV) pip compile -q pyproject.toml --extra test --python-version 3.11 -o constraints.txt

clean:
	rm -rf build $(VENV)
