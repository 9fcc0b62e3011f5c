# Everything a fresh machine needs: CPython 3.13 is found by tools/find-python, the Python side
# comes from the package registry into .venv, the module is built by CMake into build/lib/routes/.
# Only the recipes that need the interpreter look for it (PYTHON names it, or is searched for), so
# a wrong PYTHON stops them with what it is, and `make clean` runs on any machine.

VENV        := .venv
VPY         := $(VENV)/bin/python
BUILD       := build
BUILD_TYPE  ?= Release
WERROR      ?= OFF
HOST        ?=
PYTEST_ARGS ?=

MODULE_DIR  := $(BUILD)/lib
export PYTHONPATH := $(CURDIR)/$(MODULE_DIR)

# The start of a recipe that needs the interpreter: $$py is its path, or the recipe stops.
FIND_PYTHON := py=$$(tools/find-python) || exit 1;

.PHONY: all build test demo bench install clean check-asan check-valgrind check-leaks typecheck probe

all: build

build:
	@$(FIND_PYTHON) cmake -S . -B $(BUILD) -DPython_EXECUTABLE="$$py" \
	    -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DFREE_MODELS_WERROR=$(WERROR) >/dev/null
	@cmake --build $(BUILD) -j 2

$(VENV)/.ready: tests/requirements.txt
	@$(FIND_PYTHON) echo "$$py -m venv $(VENV)"; "$$py" -m venv $(VENV)
	$(VPY) -m pip install -q --disable-pip-version-check -r tests/requirements.txt
	touch $@

test: build $(VENV)/.ready typecheck
	$(VPY) -m pytest -q tests $(PYTEST_ARGS)

demo: build $(VENV)/.ready
	$(VPY) examples/demo.py $(if $(REAL),--real)

# The stub against the built module (stubtest), and the example host against the stub.
typecheck: build $(VENV)/.ready
	MYPYPATH=$(CURDIR) $(VPY) -m mypy.stubtest routes.free_models
	MYPYPATH=$(CURDIR) $(VPY) -m mypy --strict examples/host.py

# Every catalogue model, anonymously, with and without tools; the stand-in relay unless REAL=1.
probe: build $(VENV)/.ready
	$(VPY) tools/probe.py $(if $(REAL),--real) $(PROBE_ARGS)

bench: build $(VENV)/.ready
	$(VPY) bench/run.py

check-asan: $(VENV)/.ready
	tools/check-asan

check-valgrind: build $(VENV)/.ready
	tools/check-valgrind

check-leaks: build $(VENV)/.ready
	$(VPY) tools/check_leaks.py

# Into HOST/routes/, each file renamed over the old one (tools/install_module.py). HOST reaches
# the tool through the environment, as make exports a variable given on its command line, so
# any path works. Make's arguments ($$PPID is make) and the caller's PWD, as make was given it
# (the recipe's shell resets its own), tell the tool where make was called.
install: export CALLER_PWD := $(PWD)
install: build
	@$(FIND_PYTHON) "$$py" tools/install_module.py $$PPID $(MODULE_DIR)/routes

clean:
	rm -rf $(BUILD) $(VENV)
