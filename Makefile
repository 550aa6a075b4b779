# korel: `make demo` runs the main job, `make test` runs every test.
# Each target sets up what it needs: a virtual environment per interpreter,
# the build tools, the extension built in place, and the test dependencies.
# `make test` also builds a wheel as users build it (with build isolation)
# and tests it installed in a fresh environment.

PYTHON      ?= python3.9
VENV        := .venv
BUILD       := build
JOBS        ?= 2
# The interpreter of the wheel that `make test` installs and tests, and the
# others that `make test-all` adds (built in place).
WHEEL_PYTHON := 3.13
OTHER_PYTHONS := 3.10 3.11 3.12
WHEEL_TAG   := cp$(subst .,,$(WHEEL_PYTHON))
WHEEL_VENV  := .venv-wheel

VPY     := $(VENV)/bin/python
CMAKE   := $(VENV)/bin/cmake
CTEST   := $(VENV)/bin/ctest

.PRECIOUS: .venv-%/.tools .venv-%/.korel-installed

.PHONY: help test test-all lint wheel test-cpp test-sanitize test-python test-wheel test-pybind11-3 demo demo-distributed bench bench-quick bench-cpp bench-distributed install clean

help: ## List the targets
	@grep -E '^[a-zA-Z_-]+:.*## ' $(MAKEFILE_LIST) | awk -F':.*## ' '{printf "  %-18s %s\n", $$1, $$2}'

# The same C++ tests under the sanitizers take as long again as the rest of
# `make test`: they run in `make test-all`, so that `make test` stays within
# 15 minutes. The two Python runs go side by side: most tests keep one core
# busy, and the wheel's build overlaps the other run's tests.
test: lint test-cpp ## Run every test: lint, C++ (CTest), Python 3.9 in place, the 3.13 wheel installed
	$(MAKE) -j2 --output-sync=target test-python test-wheel

# The stateful soak of NearestNeighborsKorel runs a few examples in `make
# test` and this many here; fault injection fails every third distance call
# there and every call here.
test-all: export KOREL_SOAK_EXAMPLES = 40
test-all: export KOREL_FAULT_EVERY = 1
test-all: test test-sanitize $(addprefix test-python-,$(OTHER_PYTHONS)) test-pybind11-3 ## The same, with the C++ tests under ASan/UBSan, Python 3.10 to 3.12 and pybind11 3 too

lint: $(VENV)/.lint ## ruff and mypy on python/
	$(VENV)/bin/ruff check python/
	$(VENV)/bin/mypy

wheel: dist/.wheel-$(WHEEL_TAG) ## Build the CPython 3.13 wheel into dist/ as users build it (isolated build)

# The newest pybind11 the modules are built and tested with (pyproject.toml
# says why wheels use 2.13), and, left out of that run (the runs with 2.13
# keep them), NearestNeighborsKorel's tests of what pybind11 3 does
# differently: it converts sets, generators and sequences whose length and
# items disagree, and names the argument types
# collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex] and
# typing.SupportsInt | typing.SupportsIndex instead of list[float] and int.
PYBIND11_3 := 3.1.0
PYBIND11_3_DIFFERS := $(foreach m,add remove nearest,$(foreach a,set generator,\
  --deselect "tests/python/test_arguments.py::test_non_points_are_refused_and_change_nothing[$(m)-$(a)]")) \
  --deselect "tests/python/test_arguments.py::test_one_bad_item_rejects_the_whole_batch[generator]" \
  $(foreach m,add add_list+item nearest nearest_k nearest_r remove,\
  --deselect "tests/python/test_bad_input.py::test_a_failing_sequence_passes_its_exception_through[short-$(subst +, ,$(m))]") \
  --deselect "tests/python/test_bad_input.py::test_a_failing_batch_passes_its_exception_through[short]" \
  $(foreach m,add add_list nearest nearest_k nearest_r remove,\
  --deselect "tests/python/test_class_surface.py::test_doc_is_the_rendered_prototype[$(m)]")

demo: $(VENV)/.korel-plain ## Run the main job: fuzzy word lookup and vector search (needs only korel and NumPy)
	$(VPY) examples/demo.py

demo-distributed: $(VENV)/.korel-distributed ## Shard 10^6 points over a local Dask cluster of 2 worker processes
	$(VPY) examples/distributed_demo.py

bench: $(VENV)/.korel-bench ## Benchmark korel against its peers on real data, about 20 min once installed (writes bench/results/)
	$(VPY) bench/peers.py $(BENCH_ARGS)
	$(VPY) bench/joins.py

bench-quick: $(VENV)/.korel-bench ## The same at small sizes, about two minutes (writes bench/results/quick/)
	$(VPY) bench/peers.py --quick
	$(VPY) bench/joins.py --quick

bench-cpp: $(VENV)/.tools ## Build and run the C++ benchmarks (the index, the distance kernels, scan against tree)
	$(CMAKE) -S . -B $(BUILD)/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVEXEL_BUILD_TESTS=OFF -DVEXEL_BUILD_BENCH=ON
	$(CMAKE) --build $(BUILD)/bench -j $(JOBS)
	$(BUILD)/bench/bench/bench_core
	$(BUILD)/bench/bench/bench_kernels
	$(BUILD)/bench/bench/bench_scan

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

SOURCES := $(shell find include python -type f \( -name '*.h' -o -name '*.inc' -o -name '*.cpp' -o -name '*.py' -o -name '*.pyi' -o -name 'py.typed' \) 2>/dev/null) CMakeLists.txt pyproject.toml

# korel alone, as `pip install .` gives it: what the demo needs.
$(VENV)/.korel-plain: $(VENV)/.tools $(SOURCES)
	$(VPY) -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD)/py-3.9 .
	@touch $@

$(VENV)/.korel-installed: $(VENV)/.tools $(SOURCES)
	$(VPY) -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD)/py-3.9 ".[test,test-distributed]"
	@touch $@

.venv-%/.korel-installed: .venv-%/.tools $(SOURCES)
	$(@D)/bin/python -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD)/py-$* ".[test,test-distributed]"
	@touch $@

$(VENV)/.lint: $(VENV)/.tools lint-requirements.txt
	$(VPY) -m pip install -q -r lint-requirements.txt
	@touch $@

# From scratch in a temporary build environment, with the pins of
# wheel-constraints.txt; the previous wheel of the same tag goes first.
dist/.wheel-%: .venv-$(WHEEL_PYTHON)/.tools $(SOURCES) LICENSE README.md
	rm -f dist/korel-*-$*-*.whl
	.venv-$(WHEEL_PYTHON)/bin/python -m pip wheel -q --no-deps -w dist .
	@touch $@

.venv-pybind11-3/.korel-installed: $(SOURCES)
	@test -x $(@D)/bin/python || python$(WHEEL_PYTHON) -m venv $(@D)
	$(@D)/bin/python -m pip install -q --upgrade pip
	$(@D)/bin/python -m pip install -q -r build-requirements.txt
	$(@D)/bin/python -m pip install -q pybind11==$(PYBIND11_3)
	$(@D)/bin/python -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD)/pybind11-3 ".[test,test-distributed]"
	@touch $@

$(VENV)/.korel-distributed: $(VENV)/.korel-installed
	$(VPY) -m pip install -q ".[distributed]" --no-build-isolation -Cbuild-dir=$(BUILD)/py-3.9
	@touch $@

$(VENV)/.korel-bench: $(VENV)/.korel-installed bench/requirements.txt
	$(VPY) -m pip install -q -r bench/requirements.txt
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

# The C++ tests build at -Og, which compiles in a third of the time of
# -O2 -g: the Python tests run the optimised build users install, and
# KernelCode reads the kernels' machine code at -O2.
test-cpp: gtest $(VENV)/.tools ## Build and run the C++ tests through CTest
	$(CMAKE) -S . -B $(BUILD)/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-Og -DNDEBUG" -DVEXEL_BUILD_TESTS=ON
	$(CMAKE) --build $(BUILD)/cpp -j $(JOBS)
	$(CTEST) --test-dir $(BUILD)/cpp --output-on-failure -j $(JOBS)

test-sanitize: gtest $(VENV)/.tools ## C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer
	$(CMAKE) -S . -B $(BUILD)/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVEXEL_BUILD_TESTS=ON -DVEXEL_SANITIZE=ON
	$(CMAKE) --build $(BUILD)/asan -j $(JOBS)
	$(CTEST) --test-dir $(BUILD)/asan --output-on-failure -j $(JOBS)

# pytest exits with 5 when it collects no test; that is not a failure.
define run_pytest
	$(1) -m pytest -q; rc=$$?; if [ $$rc -eq 5 ]; then rc=0; fi; exit $$rc
endef

test-python: $(VENV)/.korel-installed ## Python tests under CPython 3.9, built in place
	$(call run_pytest,$(VPY))

test-python-%: .venv-%/.korel-installed
	$(call run_pytest,.venv-$*/bin/python)

test-pybind11-3: .venv-pybind11-3/.korel-installed ## Python tests under CPython 3.13 with korel built with pybind11 3
	.venv-pybind11-3/bin/python -m pytest -q $(PYBIND11_3_DIFFERS)

# A fresh environment each time, holding only the wheel and its extras.
test-wheel: wheel ## Python tests under CPython 3.13 against the wheel, installed in a fresh environment
	rm -rf $(WHEEL_VENV)
	python$(WHEEL_PYTHON) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q "$$(ls dist/korel-*-$(WHEEL_TAG)-*.whl)[test,test-distributed]"
	$(WHEEL_VENV)/bin/python -c "import korel, sys; assert korel.__file__.startswith(sys.prefix), korel.__file__"
	$(call run_pytest,$(WHEEL_VENV)/bin/python)

clean: ## Remove build folders, wheels and virtual environments
	rm -rf $(BUILD) dist $(VENV) $(WHEEL_VENV) $(addprefix .venv-,$(WHEEL_PYTHON) $(OTHER_PYTHONS) pybind11-3)
