# Two entry points for a fresh machine (run as root, or with sudo available):
#   make demo   build the module into a virtual environment and run the quickstart
#   make test   install the test dependencies, build, run GoogleTest and pytest
PYTHON ?= python3
VENV ?= .venv
VENV_PYTHON := $(VENV)/bin/python
CPP_BUILD ?= build/cpp-tests
CMAKE_EXTRA ?=
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: demo test install cpp-test py-test system-deps clean

$(VENV_PYTHON):
	$(PYTHON) -m venv $(VENV)
	$(VENV_PYTHON) -m pip install --quiet --upgrade pip
	$(VENV_PYTHON) -m pip install --quiet scikit-build-core cmake ninja

install: $(VENV_PYTHON)
	$(VENV_PYTHON) -m pip install --quiet --no-build-isolation '.[test]'

demo: install
	$(VENV_PYTHON) examples/quickstart.py

# GoogleTest comes from Debian's libgtest-dev.
system-deps:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  $(SUDO) apt-get update -qq && $(SUDO) apt-get install -y -qq libgtest-dev; \
	fi

cpp-test: system-deps $(VENV_PYTHON)
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DORLO_KIV_BUILD_TESTS=ON -DORLO_KIV_BUILD_PYTHON=OFF $(CMAKE_EXTRA)
	$(VENV)/bin/cmake --build $(CPP_BUILD)
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure

py-test: install
	$(VENV_PYTHON) -m pytest -q

test: cpp-test py-test

clean:
	rm -rf build $(VENV)
