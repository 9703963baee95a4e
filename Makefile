# The README's two commands: `make demo` and `make test`.
# Everything is built under $(BUILD); PYTHONPATH=$(BUILD)/python is the
# importable tree. Give PYTHON=/path/to/python2.7 to choose the interpreter,
# PYTHON3="python3.11 python3.12" to choose the Python 3 interpreters the
# modules are built for as well (default: pyenv's 3.11 and 3.12).
# `make demo PYTHON=/path/to/python3.x` shows the demo in that interpreter.

BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# PYTHON names a Python 3 for the demo, or else the Python 2.7 to build for.
PYTHON_IS_3 := $(if $(PYTHON),$(shell '$(PYTHON)' -c 'import sys; print(sys.version_info[0] == 3)' 2>/dev/null))
ifeq ($(PYTHON_IS_3),True)
PYTHON_27 = $(shell tools/find-python27)
DEMO_PYTHON = $(PYTHON)
else
PYTHON_27 = $(shell PYTHON='$(PYTHON)' tools/find-python27)
DEMO_PYTHON = $(PYTHON_27)
endif
# The demo's Python 3 comes first: of two interpreters of one version, the
# build takes the first.
PYTHON3_LIST = $(if $(filter True,$(PYTHON_IS_3)),$(PYTHON)) \
  $(shell PYTHON3='$(PYTHON3)' tools/find-python3)

.PHONY: all build configure demo test bench bench-memory soak clean

all: build

configure:
	@python='$(PYTHON_27)'; [ -n "$$python" ] || exit 1; \
	cmake -S . -B $(BUILD) -DPYTHON_EXECUTABLE="$$python" \
	  -DPYTHON3_EXECUTABLES="$(subst $(eval) ,;,$(strip $(PYTHON3_LIST)))" \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	PYTHONPATH=$(BUILD)/python $(DEMO_PYTHON) tools/demo.py

# The interpreters of the UCS-2 and Windows legs are built (once per build
# directory) before the tests start, side by side on every core; the legs
# report a build that fails or cannot be made.
test: build
	@JOBS=$(JOBS) tools/build-cpython27 $(BUILD) all || true
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Speed goals: one table of the modules beside a ctypes peer and the bare
# Win32 cost, drive-event latency and idle monitor CPU; redraws the README's
# refresh plot. Then the same table in the first Python 3, for information:
# the 2.7 table alone decides the exit status.
BENCH_PYTHON3 = $(firstword $(PYTHON3_LIST))
bench: build
	@PYTHONPATH=$(BUILD)/python:bench $(PYTHON_27) bench/volume_bench.py \
	  --plot docs/refresh-by-volume-count.dat; status=$$?; \
	if command -v gnuplot >/dev/null; then gnuplot docs/refresh-by-volume-count.gp; \
	else echo "gnuplot is not installed: the plot was not redrawn"; fi; \
	python3='$(BENCH_PYTHON3)'; if [ -n "$$python3" ]; then \
	  echo; echo "Python $$("$$python3" -c 'import platform; print(platform.python_version())')" \
	    "($$python3), the same table; its goals are informational, the exit status is Python 2.7's:"; \
	  PYTHONPATH=$(BUILD)/python:bench "$$python3" bench/volume_bench.py || \
	    echo "(the Python 3 run ended with status $$?; not counted)"; \
	fi; exit $$status

# Memory goals: no growth of live objects, memory or handles over many
# refreshes and drive events.
bench-memory: build
	PYTHONPATH=$(BUILD)/python:bench $(PYTHON_27) bench/volume_table.py
	PYTHONPATH=$(BUILD)/python:bench $(PYTHON_27) bench/monitor_events.py

# The soak: random plugs, refreshes and monitor runs for SOAK_SECONDS,
# reporting live objects, heap in use and resident memory every
# SOAK_EVERY seconds.
SOAK_SECONDS ?= 3600
SOAK_EVERY ?= 300
soak: build
	PYTHONPATH=$(BUILD)/python:bench $(PYTHON_27) bench/soak.py \
	  --seconds $(SOAK_SECONDS) --every $(SOAK_EVERY)

clean:
	rm -rf $(BUILD)
