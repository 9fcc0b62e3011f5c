# Everything a fresh machine needs: CPython 3.13 is found by tools/find-python, the Python side
# comes from the package registry into .venv, the module is built by CMake into build/lib/routes/.

PYTHON_BASE := $(shell tools/find-python)
VENV        := .venv
VPY         := $(VENV)/bin/python
BUILD       := build
BUILD_TYPE  ?= Release
WERROR      ?= OFF
HOST        ?=
PYTEST_ARGS ?=

MODULE_DIR  := $(BUILD)/lib
export PYTHONPATH := $(CURDIR)/$(MODULE_DIR)

.PHONY: all build test demo bench install clean check-asan check-valgrind check-leaks typecheck probe

all: build

ifeq ($(PYTHON_BASE),)
$(error no CPython 3.13 with headers found; install python3.13-dev and python3.13-venv or a pyenv 3.13)
endif

build:
	@cmake -S . -B $(BUILD) -DPython_EXECUTABLE=$(PYTHON_BASE) \
	    -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DFREE_MODELS_WERROR=$(WERROR) >/dev/null
	@cmake --build $(BUILD) -j 2

$(VENV)/.ready: tests/requirements.txt
	$(PYTHON_BASE) -m venv $(VENV)
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

install: build
	@test -n "$(HOST)" || { echo "usage: make install HOST=/path/to/host-app" >&2; exit 2; }
	mkdir -p $(HOST)/routes
	cp $(MODULE_DIR)/routes/free_models$(shell $(PYTHON_BASE) -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))') $(HOST)/routes/
	cp routes/free_models.pyi $(HOST)/routes/

clean:
	rm -rf $(BUILD) $(VENV)
