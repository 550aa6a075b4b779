# korel: `make demo` runs the main job, `make test` runs every test.
# Each target sets up what it needs: a virtual environment per interpreter,
# the build tools, the extension built in place, and the test dependencies.

PYTHON      ?= python3.9
VENV        := .venv
BUILD       := build
JOBS        ?= 2
# The other interpreters the package is tested on; `make test` uses the last.
OTHER_PYTHONS := 3.10 3.11 3.12 3.13
ALT         := 3.13

VPY     := $(VENV)/bin/python
CMAKE   := $(VENV)/bin/cmake
CTEST   := $(VENV)/bin/ctest

.PRECIOUS: .venv-%/.tools .venv-%/.korel-installed

.PHONY: help test test-all test-cpp test-sanitize test-python test-python-alt demo demo-distributed bench bench-quick bench-cpp bench-distributed install clean

help: ## List the targets
	@grep -E '^[a-zA-Z_-]+:.*## ' $(MAKEFILE_LIST) | awk -F':.*## ' '{printf "  %-18s %s\n", $$1, $$2}'

test: test-cpp test-sanitize test-python test-python-alt ## Run every test: C++ (CTest, also under ASan/UBSan) then Python under 3.9 and 3.13

test-all: test-cpp test-sanitize test-python $(addprefix test-python-,$(OTHER_PYTHONS)) ## The same, with Python 3.9 to 3.13

demo: $(VENV)/.korel-installed ## Run the main job: fuzzy word lookup and vector search
	$(VPY) examples/demo.py

demo-distributed: $(VENV)/.korel-distributed ## Shard 10^6 points over a local Dask cluster of 2 worker processes
	$(VPY) examples/distributed_demo.py

bench: $(VENV)/.korel-bench ## Benchmark korel against its peers, about 3 min once installed (writes bench/results/)
	$(VPY) bench/peers.py $(BENCH_ARGS)

bench-quick: $(VENV)/.korel-bench ## The same at small sizes, about a minute (writes bench/results/quick/)
	$(VPY) bench/peers.py --quick

bench-cpp: $(VENV)/.tools ## Build and run the C++ benchmarks (the index, the distance kernels)
	$(CMAKE) -S . -B $(BUILD)/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DVEXEL_BUILD_BENCH=ON
	$(CMAKE) --build $(BUILD)/bench -j $(JOBS)
	$(BUILD)/bench/bench/bench_core
	$(BUILD)/bench/bench/bench_kernels

bench-distributed: $(VENV)/.korel-distributed ## Queries per second with 1 and 2 Dask shards against one Index (writes bench/results/distributed.md)
	$(VPY) bench/sharding.py

install: $(VENV)/.korel-installed ## Build korel into .venv

# --- environments -----------------------------------------------------------

$(VENV)/.tools: build-requirements.txt
	@test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r build-requirements.txt
	@touch $@

.venv-%/.tools: build-requirements.txt
	@test -x $(@D)/bin/python || python$* -m venv $(@D)
	$(@D)/bin/python -m pip install -q --upgrade pip
	$(@D)/bin/python -m pip install -q -r build-requirements.txt
	@touch $@

SOURCES := $(shell find include python -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.py' -o -name '*.pyi' -o -name 'py.typed' \) 2>/dev/null) CMakeLists.txt pyproject.toml

$(VENV)/.korel-installed: $(VENV)/.tools $(SOURCES)
	$(VPY) -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD)/py-3.9 ".[test]"
	@touch $@

.venv-%/.korel-installed: .venv-%/.tools $(SOURCES)
	$(@D)/bin/python -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD)/py-$* ".[test]"
	@touch $@

$(VENV)/.korel-distributed: $(VENV)/.korel-installed
	$(VPY) -m pip install -q ".[distributed]" --no-build-isolation -Cbuild-dir=$(BUILD)/py-3.9
	@touch $@

# Without build isolation, the peers that ship only sources (vptree, pybktree)
# need wheel to build.
$(VENV)/.korel-bench: $(VENV)/.korel-installed
	$(VPY) -m pip install -q wheel
	$(VPY) -m pip install -q ".[bench]" --no-build-isolation -Cbuild-dir=$(BUILD)/py-3.9
	@touch $@

# --- tests ------------------------------------------------------------------

gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ] && [ ! -f /usr/local/include/gtest/gtest.h ]; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    echo "Installing GoogleTest (libgtest-dev)"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev; \
	  else \
	    echo "GoogleTest is missing: run 'sudo apt-get install libgtest-dev'"; exit 1; \
	  fi; \
	fi

test-cpp: gtest $(VENV)/.tools ## Build and run the C++ tests through CTest
	$(CMAKE) -S . -B $(BUILD)/cpp -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON
	$(CMAKE) --build $(BUILD)/cpp -j $(JOBS)
	$(CTEST) --test-dir $(BUILD)/cpp --output-on-failure -j $(JOBS)

test-sanitize: gtest $(VENV)/.tools ## C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer
	$(CMAKE) -S . -B $(BUILD)/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=ON -DVEXEL_SANITIZE=ON
	$(CMAKE) --build $(BUILD)/asan -j $(JOBS)
	$(CTEST) --test-dir $(BUILD)/asan --output-on-failure -j $(JOBS)

# pytest exits with 5 when it collects no test; that is not a failure.
define run_pytest
	$(1) -m pytest -q; rc=$$?; if [ $$rc -eq 5 ]; then rc=0; fi; exit $$rc
endef

test-python: $(VENV)/.korel-installed ## Python tests under CPython 3.9
	$(call run_pytest,$(VPY))

test-python-alt: test-python-$(ALT) ## Python tests under CPython 3.13

test-python-%: .venv-%/.korel-installed
	$(call run_pytest,.venv-$*/bin/python)

clean: ## Remove build folders and virtual environments
	rm -rf $(BUILD) $(VENV) $(addprefix .venv-,$(OTHER_PYTHONS))
