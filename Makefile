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

.PHONY: all build test demo bench wheel install uninstall clean check-asan check-valgrind check-leaks \
        typecheck probe

all: build

build:
	@$(FIND_PYTHON) cmake -S . -B $(BUILD) -DPython_EXECUTABLE="$$py" \
	    -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DFREE_MODELS_WERROR=$(WERROR) >/dev/null
	@cmake --build $(BUILD) -j 2

$(VENV)/.ready: tests/requirements.txt
	@$(FIND_PYTHON) echo "$$py -m venv $(VENV)"; "$$py" -m venv $(VENV)
	$(VPY) -m pip install -q --disable-pip-version-check -r tests/requirements.txt
	touch $@

$(VENV)/.wheel-tools: tools/wheel-requirements.txt $(VENV)/.ready
	$(VPY) -m pip install -q --disable-pip-version-check -r tools/wheel-requirements.txt \
	    -c tests/requirements.txt
	touch $@

# The wheel test (tests/test_deploy.py) installs what `make wheel` left in dist/.
test: build $(VENV)/.ready typecheck wheel
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

# pip builds the wheel from pyproject.toml over CMakeLists.txt, in a build environment of its own;
# auditwheel gives it the manylinux_2_17 tag (glibc 2.17 or later), or fails if the module came to
# need more than that tag allows. One wheel in dist/, the one for this checkout.
wheel: $(VENV)/.wheel-tools
	rm -rf $(BUILD)/wheel dist
	$(VPY) -m pip wheel -q --disable-pip-version-check --no-deps -w $(BUILD)/wheel \
	    -C cmake.define.FREE_MODELS_WERROR=$(WERROR) .
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VPY) -m auditwheel repair \
	    --plat manylinux_2_17_x86_64 -w dist $(BUILD)/wheel/*.whl
	@ls dist/*.whl

# Into HOST/routes/, each file renamed over the old one (tools/install_module.py). HOST reaches
# the tool through the environment, as make exports a variable given on its command line, so
# any path works. Make's arguments ($$PPID is make) and the caller's PWD, as make was given it
# (the recipe's shell resets its own), tell the tool where make was called.
install: export CALLER_PWD := $(PWD)
install: build
	@$(FIND_PYTHON) "$$py" tools/install_module.py $$PPID $(MODULE_DIR)/routes

# What install put into HOST/routes/, and nothing of the host's; HOST as for install.
uninstall: export CALLER_PWD := $(PWD)
uninstall:
	@$(FIND_PYTHON) "$$py" tools/install_module.py --uninstall $$PPID

# Every build and cache folder: the module's builds (the wheel's among them), .venv, the wheel,
# and what pytest, hypothesis and mypy keep between runs.
clean:
	rm -rf $(BUILD) $(BUILD)-asan $(VENV) dist .pytest_cache .hypothesis .mypy_cache
