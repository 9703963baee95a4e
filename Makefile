# The README's two commands: `make demo` and `make test`.
# Everything is built under $(BUILD); PYTHONPATH=$(BUILD)/python is the
# importable tree. Give PYTHON=/path/to/python2.7 to choose the interpreter.

BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PYTHON_27 = $(shell PYTHON='$(PYTHON)' tools/find-python27)

.PHONY: all build configure demo test clean

all: build

configure:
	@python='$(PYTHON_27)'; [ -n "$$python" ] || exit 1; \
	cmake -S . -B $(BUILD) -DPYTHON_EXECUTABLE="$$python" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	PYTHONPATH=$(BUILD)/python $(PYTHON_27) tools/demo.py

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD)
