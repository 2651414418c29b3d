# Developer commands. `make demo` and `make test` each bring a fresh machine up to date first
# (Debian packages, project-local virtual environments, both build trees); every step is idempotent.
#
# Build tree (fixed; the tests and scripts rely on it):
#   build/cpython/python/  velmot and _binding_probe built for CPython (python3)
#   build/pypy/python/     velmot and _binding_probe built for PyPy (pypy3)
#   build/cpython/bin/     C++ unit tests (velmot_cpp_tests) and the bus daemon (vcanbusd)
#   build/cpython/lib/     the SocketCAN shim for LD_PRELOAD (libvcan_preload.so)
#   build/armhf/           the same for 32-bit ARM (armhf), cross-compiled (`make build-armhf`)
# Virtual environments: .venv/cpython and .venv/pypy (pytest, hypothesis, python-can; matplotlib
# in .venv/cpython for the demo's plot).

SHELL := /bin/bash
PYTHON ?= python3
PYPY ?= pypy3
BUILD := build
VENV := .venv
JOBS ?= $(shell nproc)
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

APT_PACKAGES := g++ make cmake ninja-build binutils libasio-dev pypy3 pypy3-dev pypy3-venv \
                can-utils googletest libgtest-dev
PIP_PACKAGES := pytest hypothesis python-can
# CPython only: the demo's --plot (matplotlib has no prebuilt wheels for PyPy).
CPYTHON_PIP_PACKAGES := matplotlib
# The kernel tier: Debian's User-Mode Linux kernel (a Linux with vcan, can-raw, can-bcm, vxcan as
# modules that runs as a process), kmod for modprobe and iproute2 for the real `ip`.
KERNEL_APT_PACKAGES := user-mode-linux kmod iproute2
KERNEL_OUT := $(BUILD)/kernel/last
KERNEL_INTERPRETERS ?= cpython
PYTHON_CAN_SRC := $(BUILD)/kernel/python-can
PYTHON_CAN_TESTS := test/test_socketcan.py test/test_socketcan_helpers.py \
                    test/test_socketcan_loopback.py test/back2back_test.py test/test_cyclic_socketcan.py

.PHONY: all setup apt venvs build build-cpython build-pypy test test-cpp test-cpython test-pypy \
        test-floods demo bench clean kernel-apt test-kernel test-wheels apt-armhf build-armhf \
        armhf-root test-armhf test-armhf-cpp test-armhf-python test-armhf-ci bench-armhf

all: build

# Installs those of the Debian packages $(1) that are missing; waits for a dpkg lock another
# install holds (several targets may install at once). A failed index update (a mirror caught
# mid-sync fails one index now and then) is retried, and does not stop the install by itself:
# the install fails only if a package cannot be had from the indexes there are.
APT_GET = $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900
define apt_install
	@missing=$$(for p in $(1); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:" $$missing; \
	  for attempt in 1 2 3; do \
	    $(APT_GET) update -q && break; \
	    echo "apt-get update failed (attempt $$attempt of 3)"; sleep $$((attempt * 15)); \
	  done; \
	  $(APT_GET) install -y -q $$missing; \
	fi
endef

setup: apt venvs

apt:
	$(call apt_install,$(APT_PACKAGES))

kernel-apt:
	$(call apt_install,$(KERNEL_APT_PACKAGES))

venvs: $(VENV)/cpython/.ready $(VENV)/pypy/.ready $(VENV)/cpython/.plot-ready

$(VENV)/cpython/.ready: | apt
	$(PYTHON) -m venv $(VENV)/cpython
	$(VENV)/cpython/bin/python -m pip install -q --disable-pip-version-check $(PIP_PACKAGES)
	touch $@

# A stamp of its own, so that a venv made before matplotlib joined the list gets it too.
$(VENV)/cpython/.plot-ready: | $(VENV)/cpython/.ready
	$(VENV)/cpython/bin/python -m pip install -q --disable-pip-version-check $(CPYTHON_PIP_PACKAGES)
	touch $@

$(VENV)/pypy/.ready: | apt
	$(PYPY) -m venv $(VENV)/pypy
	$(VENV)/pypy/bin/python -m pip install -q --disable-pip-version-check $(PIP_PACKAGES)
	touch $@

build: build-cpython build-pypy

# Every build tree the Makefile configures: warnings are errors in velmot's own sources, and the
# per-layer include folders are shared, so that ccache serves a tree from another's objects.
TREE_OPTIONS = -DVELMOT_WERROR=ON -DVELMOT_LAYER_INCLUDE_ROOT=$(CURDIR)/$(BUILD)/layer_include
# $(call CONFIGURE_TREE,NAME,CMAKE ARGUMENTS): configures $(BUILD)/NAME with those and TREE_OPTIONS,
# unless it is configured already.
CONFIGURE_TREE = [ -f $(BUILD)/$(1)/build.ninja ] || cmake -S . -B $(BUILD)/$(1) -G Ninja $(2) $(TREE_OPTIONS)

# Interpreters' own executables (not the venvs') are handed to CMake: the headers and extension
# suffix are the same, and the build tree does not depend on a venv.
build-cpython: | apt
	@$(call CONFIGURE_TREE,cpython,-DVELMOT_PYTHON=$$(command -v $(PYTHON)) -DVELMOT_BUILD_TESTS=ON)
	cmake --build $(BUILD)/cpython -j $(JOBS)

build-pypy: | apt
	@$(call CONFIGURE_TREE,pypy,-DVELMOT_PYTHON=$$(command -v $(PYPY)) -DVELMOT_BUILD_TESTS=ON \
	  -DVELMOT_CPP_TESTS=OFF -DVELMOT_BUILD_SIM=OFF)
	cmake --build $(BUILD)/pypy -j $(JOBS)

# side_by_side LOG_DIR RUN NAME...: the Python suite for every NAME at once (`RUN NAME -m "not
# timing"`, RUN starting each on its own simulated bus), with the output in LOG_DIR/NAME.log,
# printed when all ended; then the tests that need real time (`RUN NAME -m timing`), one NAME at a
# time: suites side by side on two cores leave a fast timer no core of its own. Adds each failed
# NAME to $failed; `report` fails when there is one.
SIDE_BY_SIDE = failed=; report() { [ -z "$$failed" ] || { echo "the Python suite failed on:$$failed"; exit 1; }; }; \
	side_by_side() { \
	  local logs=$$1 run=$$2 name i; shift 2; local -a names=("$$@") pids=(); mkdir -p $$logs; \
	  for name in "$${names[@]}"; do \
	    echo "=== the Python suite on $$name, but for the tests that need real time: $$logs/$$name.log"; \
	    $$run $$name -m "not timing" >$$logs/$$name.log 2>&1 & pids+=($$!); \
	  done; \
	  for i in "$${!names[@]}"; do wait $${pids[$$i]} || failed="$$failed $${names[$$i]}"; done; \
	  for name in "$${names[@]}"; do echo "=== $$logs/$$name.log"; cat $$logs/$$name.log; done; \
	  for name in "$${names[@]}"; do \
	    echo "=== the tests that need real time on $$name"; \
	    $$run $$name -m timing || failed="$$failed $$name(timing)"; \
	  done; }

# make test: the C++ tests, then the Python suite on CPython and on PyPy side by side (logs in
# build/test-logs/). test-cpython and test-pypy run one whole suite in the foreground.
TEST_LOGS := $(BUILD)/test-logs
PY_SUITE = sim/with-bus can0 -- $(VENV)/$(1)/bin/python -m pytest tests/py
test: setup build
	$(MAKE) --no-print-directory test-cpp
	@$(SIDE_BY_SIDE); run() { local f=$$1; shift; $(call PY_SUITE,$$f) "$$@"; }; \
	side_by_side $(TEST_LOGS) run cpython pypy; report

test-cpp:
	ctest --test-dir $(BUILD)/cpython --output-on-failure -j 2

# pytest runs on a simulated CAN bus (sim/with-bus): LD_PRELOAD of the SocketCAN shim only takes
# effect when a process starts, so the test process itself must start inside the simulation.
test-cpython:
	$(call PY_SUITE,cpython)

test-pypy:
	$(call PY_SUITE,pypy)

# The kernel tier: boots a User-Mode Linux guest (tests/kernel/run-guest; vcan links can0 and
# vcan0) that runs tests/kernel/guest-tests, then runs the socket-level fidelity program on the
# simulated bus, compares both transcripts and runs python-can's own socketcan tests on the
# simulated bus too (their results are printed, they do not decide the status). Files of the last
# run: build/kernel/last/. KERNEL_INTERPRETERS="cpython pypy" adds the (long) PyPy run. Needs root
# for the guest's `ip link add` (the guest is its own kernel).
test-kernel: setup build kernel-apt
	@$(MAKE) --no-print-directory $(PYTHON_CAN_SRC)/.ready || echo "python-can's source distribution is not available: its tests are skipped"
	@status=0; \
	tests/kernel/run-guest --timeout 4800 --out $(KERNEL_OUT) -- tests/kernel/guest-tests $(KERNEL_INTERPRETERS) || status=1; \
	echo "=== fidelity: kernel against simulation"; \
	sim/with-bus --vcan can0,vcan0 -- $(VENV)/cpython/bin/python tests/kernel/socket_fidelity.py \
	  >$(KERNEL_OUT)/fidelity-sim.txt 2>&1; \
	$(VENV)/cpython/bin/python tests/kernel/compare_fidelity.py $(KERNEL_OUT)/fidelity-kernel.txt \
	  $(KERNEL_OUT)/fidelity-sim.txt >$(KERNEL_OUT)/fidelity-compared.txt || status=1; \
	grep -v "^same" $(KERNEL_OUT)/fidelity-compared.txt | grep -v "^    " ; \
	if [ -f $(PYTHON_CAN_SRC)/.ready ]; then \
	  echo "=== python-can (its socketcan tests) on the simulated bus"; \
	  (cd $(PYTHON_CAN_SRC) && TEST_SOCKETCAN=1 $(CURDIR)/sim/with-bus --vcan vcan0,vxcan0,slcan0 -- \
	    $(CURDIR)/$(VENV)/cpython/bin/python -m pytest -p no:cacheprovider -o addopts= -q $(PYTHON_CAN_TESTS) \
	    >$(CURDIR)/$(KERNEL_OUT)/python-can-sim.txt 2>&1); \
	  tail -n 1 $(KERNEL_OUT)/python-can-sim.txt; \
	fi; \
	exit $$status

# python-can's source distribution (its tests), the version installed in the CPython venv.
$(PYTHON_CAN_SRC)/.ready: | venvs
	version=$$($(VENV)/cpython/bin/python -c 'import can; print(can.__version__)') && \
	rm -rf $(PYTHON_CAN_SRC) $(BUILD)/kernel/sdist && mkdir -p $(BUILD)/kernel/sdist && \
	$(VENV)/cpython/bin/python -m pip download -q --disable-pip-version-check --no-binary :all: \
	  --no-deps -d $(BUILD)/kernel/sdist python-can==$$version && \
	tar -xzf $(BUILD)/kernel/sdist/python_can-$$version.tar.gz -C $(BUILD)/kernel && \
	mv $(BUILD)/kernel/python_can-$$version $(PYTHON_CAN_SRC) && touch $@

# The flood tests at full length (10 s per flood; `make test` runs them for 2 s), on both
# interpreters; -s shows the figures each flood prints.
test-floods: setup build
	VELMOT_FLOOD_SECONDS=10 sim/with-bus can0 -- $(VENV)/cpython/bin/python -m pytest -s tests/py/test_floods.py
	VELMOT_FLOOD_SECONDS=10 sim/with-bus can0 -- $(VENV)/pypy/bin/python -m pytest -s tests/py/test_floods.py

# Wheels as a user gets them (slow, minutes: `pip wheel .` for CPython and PyPy, fresh virtual
# environments, the quick start on the simulated bus, mypy --strict on examples/ and stubtest).
test-wheels: setup build-cpython
	sim/with-bus can0 -- $(VENV)/cpython/bin/python -m pytest -p no:cacheprovider tests/wheels

bench: setup build
	PYTHONPATH=$(BUILD)/cpython/python $(VENV)/cpython/bin/python bench/binding_calls.py
	PYTHONPATH=$(BUILD)/pypy/python $(VENV)/pypy/bin/python bench/binding_calls.py
	PYTHONPATH=$(BUILD)/cpython/python $(VENV)/cpython/bin/python bench/timer_lateness.py
	PYTHONPATH=$(BUILD)/pypy/python $(VENV)/pypy/bin/python bench/timer_lateness.py
	$(VENV)/cpython/bin/python bench/vcanbus_throughput.py
	PYTHONPATH=$(BUILD)/cpython/python $(VENV)/cpython/bin/python bench/can_device_calls.py
	PYTHONPATH=$(BUILD)/pypy/python $(VENV)/pypy/bin/python bench/can_device_calls.py
	PYTHONPATH=$(BUILD)/cpython/python $(VENV)/cpython/bin/python bench/motor_calls.py
	PYTHONPATH=$(BUILD)/pypy/python $(VENV)/pypy/bin/python bench/motor_calls.py
	PYTHONPATH=$(BUILD)/cpython/python $(VENV)/cpython/bin/python bench/run_async_roundtrip.py
	PYTHONPATH=$(BUILD)/pypy/python $(VENV)/pypy/bin/python bench/run_async_roundtrip.py
	PYTHONPATH=$(BUILD)/cpython/python $(VENV)/cpython/bin/python bench/python_can_bus.py
	PYTHONPATH=$(BUILD)/pypy/python $(VENV)/pypy/bin/python bench/python_can_bus.py

demo: setup build
	PYTHONPATH=$(BUILD)/cpython/python sim/with-bus can0 -- $(VENV)/cpython/bin/python examples/demo.py $(ARGS)

clean:
	rm -rf $(BUILD)

# --- code health: lint, format, sanitizer builds, every supported Python ----------------------
# ccache, when present, serves every build tree below. Paths are hashed relative to the worktree
# and the working directory is not hashed, so the layers without Python (which compile with the
# same arguments in every tree) are compiled once per run, not once per tree.
ifneq ($(shell command -v ccache 2>/dev/null),)
export CMAKE_CXX_COMPILER_LAUNCHER ?= ccache
export CCACHE_BASEDIR ?= $(CURDIR)
export CCACHE_NOHASHDIR ?= 1
# What ccache needs to cache units compiled with a precompiled header (-include of CMake's
# cmake_pch.hxx): none of ours reads __DATE__ or __TIME__.
export CCACHE_SLOPPINESS ?= pch_defines,time_macros
endif

.PHONY: lint lint-apt format build-asan test-asan test-tsan pythons-venvs test-pythons test-pythons-ci
APT_PACKAGES += ccache
LINT_APT_PACKAGES := clang-tidy-16 clang-format-16
# clang 16 or later: older ones cannot parse libstdc++ 12's std::source_location.
CLANG_TIDY_RUNNER ?= run-clang-tidy-16
CLANG_FORMAT ?= clang-format-16

CXX_SOURCES = git ls-files -- '*.cpp' '*.hpp'

lint-apt: | apt
	$(call apt_install,$(LINT_APT_PACKAGES))

# clang-tidy over the compile database of a tree configured like the CPython one but without
# precompiled headers, which clang cannot load from GCC (the sources of src/ and sim/ and the
# headers they include; nothing is built), then the layout check of every C++ file.
lint: | lint-apt
	@$(call CONFIGURE_TREE,lint,-DVELMOT_PYTHON=$$(command -v $(PYTHON)) -DVELMOT_BUILD_TESTS=ON -DVELMOT_PCH=OFF) >/dev/null
	$(CLANG_TIDY_RUNNER) -quiet -j $(JOBS) -p $(BUILD)/lint '/(src|sim)/' >$(BUILD)/clang-tidy.log 2>&1 \
	  || { grep -E 'warning:|error:' -A3 $(BUILD)/clang-tidy.log; exit 1; }
	$(CXX_SOURCES) | xargs $(CLANG_FORMAT) --dry-run --Werror

format: | lint-apt
	$(CXX_SOURCES) | xargs $(CLANG_FORMAT) -i

# Sanitizer trees: build/asan (AddressSanitizer + UndefinedBehaviorSanitizer) and build/tsan, at
# -O1 with line tables (-g1): what the sanitizers' reports need, in 15% less build time than -O2 -g.
# Python runs uninstrumented, so the ASan runtime is preloaded ahead of the bus shim; the
# interpreter's own allocations are not leak-checked. The `ip` stand-in drops LD_PRELOAD itself.
ASAN_RUNTIME = $(shell g++ -print-file-name=libasan.so)
SANITIZER_TREE = $(call CONFIGURE_TREE,$(1),-DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -DNDEBUG" -DVELMOT_PYTHON=$$(command -v $(PYTHON)) -DVELMOT_SANITIZE=$(2))
UBSAN_ENV = UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The real-time tests (thousand-hertz loops, sleep-until accuracy, a deadline at a poll
# boundary; in Python, those marked `timing`) measure timing that ASan's slowdown breaks; the plain
# runs keep them. That also lets CI build beside this run.
ASAN_CTEST_EXCLUDE = SleepUntilAccuracy|ThousandHertz|AtAPollBoundary
build-asan: | apt
	$(call SANITIZER_TREE,asan,address)
	cmake --build $(BUILD)/asan -j $(JOBS)

test-asan: build-asan | venvs
	$(UBSAN_ENV) ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizers/lsan.supp \
	  ctest --test-dir $(BUILD)/asan --output-on-failure -j 2 -E '$(ASAN_CTEST_EXCLUDE)'
	$(UBSAN_ENV) ASAN_OPTIONS=detect_leaks=0:suppressions=$(CURDIR)/tests/sanitizers/asan.supp LD_PRELOAD=$(ASAN_RUNTIME) \
	  VCAN_BUILD_DIR=$(CURDIR)/$(BUILD)/asan VELMOT_BUILD_DIR=$(CURDIR)/$(BUILD)/asan \
	  sim/with-bus can0 -- $(VENV)/cpython/bin/python -m pytest -q -p no:cacheprovider -m "not timing" tests/py

# ThreadSanitizer on the C++ tests of the threaded core: runtime, task registry, motor, timers.
TSAN_TESTS = *Runtime*:*AsyncMutex*:*Blocking*:*Cancellation*:*Channel*:*Mutex*:*Signal*:*Sync*:*Task*:*Device*:*FeedbackReceiver*:*Timer*
test-tsan: | apt
	$(call SANITIZER_TREE,tsan,thread)
	cmake --build $(BUILD)/tsan -j $(JOBS) --target velmot_cpp_tests
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  $(BUILD)/tsan/bin/velmot_cpp_tests --gtest_filter='$(TSAN_TESTS)'

# Every CPython from 3.9 to 3.13 that pyenv holds: build/py3.X and .venv/py3.X, except for the
# version of $(PYTHON), which uses the CPython tree and venv (build/cpython, .venv/cpython) and
# counts as present without pyenv. An absent version is skipped with a message. test-pythons runs
# the whole Python suite on each present version and fails after the last one if any failed.
# test-pythons-ci builds and imports on each, then runs the suite on the oldest and the newest
# side by side (logs in build/pythons/3.X.log).
PYENV_ROOT ?= $(HOME)/.pyenv
PYTHON_VERSIONS := 3.9 3.10 3.11 3.12 3.13
PYTHON_LOGS := $(BUILD)/pythons
HOST_PYTHON_VERSION = $(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])')
PYTHON_VERSION_FUNCTIONS = host=$(HOST_PYTHON_VERSION); \
	flavour() { if [ "$$1" = "$$host" ]; then echo cpython; else echo py$$1; fi; }; \
	interpreter() { ls -d $(PYENV_ROOT)/versions/$$1.*/bin/python$$1 2>/dev/null | sort -V | tail -1; }; \
	make_venv() { [ -f $(VENV)/$$1/.ready ] || { $$2 -m venv $(VENV)/$$1 && \
	  $(VENV)/$$1/bin/python -m pip install -q --disable-pip-version-check $(PIP_PACKAGES) && \
	  touch $(VENV)/$$1/.ready; }; }
PYTHON_MATRIX = set -e; present=; $(PYTHON_VERSION_FUNCTIONS); \
	for v in $(PYTHON_VERSIONS); do \
	  f=$$(flavour $$v); \
	  if [ $$f = py$$v ]; then \
	    interp=$$(interpreter $$v); \
	    if [ -z "$$interp" ]; then echo "Python $$v is not installed under $(PYENV_ROOT): skipped"; continue; fi; \
	    make_venv $$f $$interp; \
	    $(call CONFIGURE_TREE,$$f,-DVELMOT_PYTHON=$$interp -DVELMOT_CPP_TESTS=OFF -DVELMOT_BUILD_SIM=OFF) >/dev/null; \
	    cmake --build $(BUILD)/$$f -j $(JOBS); \
	  fi; \
	  present="$$present $$v"; \
	  PYTHONPATH=$(BUILD)/$$f/python $(VENV)/$$f/bin/python -c \
	    'import sys, velmot; print("velmot", len(velmot.__all__), "names on Python", sys.version.split()[0])'; \
	done; \
	suite() { local v=$$1; shift; VELMOT_BUILD_DIR=$(CURDIR)/$(BUILD)/$$(flavour $$v) sim/with-bus can0 -- \
	  $(VENV)/$$(flavour $$v)/bin/python -m pytest -q -p no:cacheprovider "$$@" tests/py; }; \
	$(SIDE_BY_SIDE)

# The virtual environments of the versions other than $(PYTHON)'s (for CI's early downloads).
pythons-venvs:
	@set -e; $(PYTHON_VERSION_FUNCTIONS); for v in $(PYTHON_VERSIONS); do \
	  interp=$$(interpreter $$v); [ $$(flavour $$v) = cpython ] || [ -z "$$interp" ] || make_venv py$$v $$interp; done

test-pythons: build-cpython $(VENV)/cpython/.ready
	$(PYTHON_MATRIX); for v in $$present; do suite $$v || failed="$$failed $$v"; done; report

test-pythons-ci: build-cpython $(VENV)/cpython/.ready
	$(PYTHON_MATRIX); set -- $$present; [ $$# -gt 0 ] || { echo "no CPython 3.9 to 3.13 present"; exit 1; }; \
	runs=$$1; [ $$# -eq 1 ] || runs="$$runs $${!#}"; side_by_side $(PYTHON_LOGS) suite $$runs; report

# --- Reliability: fuzzers, long bad-input runs, the soak. The fast shares (a few bad-input
# examples per callable, each exit scenario VELMOT_REPEAT=3 times) run in `make test`.
.PHONY: fuzz fuzz-tools bad-input soak soak-short

FUZZ_APT_PACKAGES := clang libclang-rt-dev
FUZZ_SECONDS ?= 60
SOAK_SECONDS ?= 300
FUZZ_CXX = $(shell command -v clang++ || command -v clang++-14)
FUZZ_FLAGS := -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -Isrc
FUZZERS := ip_link_details feedback_frame
FUZZ_SOURCES_ip_link_details := src/comm/can/ip_link_details.cpp src/common/os/lossy_utf8.cpp
FUZZ_SOURCES_feedback_frame := src/comm/dr_v1/feedback_frame.cpp

fuzz-tools:
	$(call apt_install,$(FUZZ_APT_PACKAGES))

# Each fuzzer runs FUZZ_SECONDS on a work corpus seeded from tests/fuzz/corpus/ (the committed
# seeds stay as they are), all at once (a fuzzer keeps one core busy), each with its output in
# build/fuzz/<name>.log, printed when all ended; a crash leaves its input in build/fuzz/ and fails
# the target.
fuzz: fuzz-tools
	@mkdir -p $(BUILD)/fuzz
	$(foreach f,$(FUZZERS),$(FUZZ_CXX) $(FUZZ_FLAGS) tests/fuzz/$(f)_fuzz.cpp $(FUZZ_SOURCES_$(f)) -o $(BUILD)/fuzz/$(f)_fuzz &&) true
	@cd $(BUILD)/fuzz && pids=; failed=; for f in $(FUZZERS); do \
	  mkdir -p corpus-$$f; \
	  echo "fuzzing $$f for $(FUZZ_SECONDS) s"; \
	  ./$${f}_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -print_final_stats=1 \
	    corpus-$$f $(CURDIR)/tests/fuzz/corpus/$$f >$$f.log 2>&1 & pids="$$pids $$!"; \
	done; \
	for pid in $$pids; do wait $$pid || failed=1; done; \
	for f in $(FUZZERS); do echo "=== $$f"; grep -E '^(stat::number_of_executed_units|==|SUMMARY|Done)' $$f.log; done; \
	[ -z "$$failed" ] && test -z "$$(ls crash-* leak-* 2>/dev/null)"

bad-input: setup build
	VELMOT_EXAMPLES=$${VELMOT_EXAMPLES:-300} sim/with-bus can0 -- $(VENV)/cpython/bin/python -m pytest tests/py/test_bad_input.py
	VELMOT_EXAMPLES=$${VELMOT_EXAMPLES:-300} sim/with-bus can0 -- $(VENV)/pypy/bin/python -m pytest tests/py/test_bad_input.py

# The soak on both interpreters (SOAK_SECONDS each; it prints its figures and fails on a lost or
# dropped frame, RSS growth of 2 MiB or more after the warm-up, or a change of threads or fds).
define run_soak
	$(VENV)/cpython/bin/python tests/soak/soak.py --python $(VENV)/cpython/bin/python --build $(BUILD)/cpython/python --seconds $(1)
	$(VENV)/cpython/bin/python tests/soak/soak.py --python $(VENV)/pypy/bin/python --build $(BUILD)/pypy/python --seconds $(1)
endef

# `make soak`: the soak for SOAK_SECONDS, then each exit scenario VELMOT_REPEAT (100) times.
soak: setup build
	$(call run_soak,$(SOAK_SECONDS))
	VELMOT_REPEAT=$${VELMOT_REPEAT:-100} sim/with-bus can0 -- $(VENV)/cpython/bin/python -m pytest -q tests/py/test_exit_hygiene.py
	VELMOT_REPEAT=$${VELMOT_REPEAT:-100} sim/with-bus can0 -- $(VENV)/pypy/bin/python -m pytest -q tests/py/test_exit_hygiene.py

# For CI: the soak alone, 30 s on each interpreter.
soak-short: setup build
	$(call run_soak,30)

# --- armhf (32-bit ARM, hard-float), the boards' platform. Cross build with Debian's cross compiler
# and the armhf Python headers from Debian's multiarch packages (GoogleTest is built from Debian's
# googletest sources: a second architecture's libgtest-dev would make that name ambiguous to
# dpkg). Tests run under qemu-user emulation: the C++ tests on this machine, the Python suite in an
# armhf Debian root ($(ARMHF_ROOT), made once with mmdebstrap) where every program, python3 and
# the bus daemon included, is armhf. Emulated timings say nothing about a board's: `make test` and
# `make bench` on a board measure those.
ARMHF_ROOT := armhf/root
ARMHF_SUITE := bookworm
ARMHF_SUITE_PYTHON := 3.11
ARMHF_HOST_PACKAGES := g++-arm-linux-gnueabihf qemu-user-static mmdebstrap libpython3-dev:armhf \
                       libstdc++6:armhf
# The root's packages are only unpacked (mmdebstrap's extract variant): no maintainer script, apt or
# dpkg runs under emulation, which makes the root in well under a minute. So the essential packages
# the tests use (dash for /bin/sh, coreutils) are named, and nothing is byte-compiled ahead.
# python-can comes from PyPI at the version of .venv/cpython (Debian's is older), so that both
# platforms test against the same one; its dependencies come from Debian.
ARMHF_ROOT_PACKAGES := dash coreutils python3 python3-pytest python3-hypothesis python3-wrapt \
                       python3-packaging python3-typing-extensions python3-msgpack can-utils binutils libstdc++6
# Arguments for pytest under emulation: tests that need real time are left out (an emulated
# program runs tens of times slower and its timing says nothing about the board's).
ARMHF_PYTEST_ARGS ?= -m "not timing" tests/py
# Seconds one emulated test may take before the run ends with every thread's stack dumped (the
# slowest take about a minute here).
ARMHF_TEST_TIMEOUT ?= 600

apt-armhf: | apt
	@dpkg --print-foreign-architectures | grep -qx armhf || $(SUDO) dpkg --add-architecture armhf
	$(call apt_install,$(ARMHF_HOST_PACKAGES))

build-armhf: | apt-armhf
	@$(call CONFIGURE_TREE,armhf,--toolchain armhf/toolchain.cmake -DVELMOT_BUILD_TESTS=ON)
	cmake --build $(BUILD)/armhf -j $(JOBS)

armhf-root: $(ARMHF_ROOT)/.ready

$(ARMHF_ROOT)/.ready: | apt-armhf $(VENV)/cpython/.ready
	armhf/binfmt-register
	$(SUDO) rm -rf $(ARMHF_ROOT)
	mkdir -p $(ARMHF_ROOT)
	$(SUDO) mmdebstrap --arch=armhf --variant=extract --include="$(ARMHF_ROOT_PACKAGES)" \
	  $(ARMHF_SUITE) $(ARMHF_ROOT)
	$(SUDO) mkdir -p $(ARMHF_ROOT)/proc
	$(SUDO) $(VENV)/cpython/bin/python -m pip install -q --disable-pip-version-check --no-deps \
	  --no-compile --target $(ARMHF_ROOT)/usr/local/lib/python$(ARMHF_SUITE_PYTHON)/dist-packages \
	  python-can==$$($(VENV)/cpython/bin/python -m pip show python-can | sed -n 's/^Version: //p')
	$(SUDO) touch $@

test-armhf: build-armhf armhf-root
	$(MAKE) --no-print-directory test-armhf-cpp test-armhf-python

# The C++ tests run here, from the build tree as under CTest, with Debian's multiarch armhf
# libraries (libc6:armhf, libstdc++6:armhf), which also serve the armhf programs they start (not
# with the cross toolchain's older libc: its first pthread_create crashes under qemu-user). Left
# out: tests that need real time, and those qemu-user cannot show: it runs a vfork-style spawn as a
# fork, so a program that cannot be started looks started (and exits 127), and it maps the address
# space a capped RLIMIT_AS limits.
ARMHF_GTEST_FILTER ?= -*SleepUntilAccuracy*:*ThousandHertz*:*AtAPollBoundary*:*ChildProcessStartError*:CanProvisioning.Missing*:TimerLoopThread.CreationFailure*

test-armhf-cpp:
	armhf/binfmt-register
	cd $(BUILD)/armhf && qemu-arm-static bin/velmot_cpp_tests --gtest_filter='$(ARMHF_GTEST_FILTER)'

# VELMOT_EMULATED=1 tells the tests that the process runs under an emulator.
test-armhf-python:
	armhf/in-root $(ARMHF_ROOT) env VELMOT_EMULATED=1 VELMOT_TEST_TIMEOUT=$(ARMHF_TEST_TIMEOUT) \
	  sim/with-bus can0 -- python3 -m pytest $(ARMHF_PYTEST_ARGS)

# For CI: the cross build and the root (side by side: one compiles, the other downloads), the C++
# tests, then the parts of the Python suite that cover what differs on 32-bit ARM (conversions in
# the binding, frames and their timestamps, timers and tasks, the examples, exits) in about a fifth
# of the whole suite's time; `make test-armhf` runs all of it.
ARMHF_CI_PYTEST_ARGS ?= -m "not timing" -p no:cacheprovider \
  $(addprefix tests/py/test_,$(addsuffix .py,binding module runtime tasks timer python_can \
    sim_bus sim_drivers can_traffic examples exit_hygiene))

test-armhf-ci:
	$(MAKE) --no-print-directory -j 2 build-armhf armhf-root
	$(MAKE) --no-print-directory test-armhf-cpp
	$(MAKE) --no-print-directory test-armhf-python ARMHF_PYTEST_ARGS='$(ARMHF_CI_PYTEST_ARGS)'

# Under emulation the figures only show that the benchmarks run; `make bench` on a board measures.
bench-armhf: build-armhf armhf-root
	armhf/in-root $(ARMHF_ROOT) python3 bench/binding_calls.py
	armhf/in-root $(ARMHF_ROOT) python3 bench/can_device_calls.py
	armhf/in-root $(ARMHF_ROOT) python3 bench/motor_calls.py

# --- CI. What the tiers after `make test` download: their Debian packages (one transaction), the
# other Python versions' virtual environments and the armhf root. .ci/run fetches them while
# `make test` compiles and runs (which leaves the network and the disk idle).
.PHONY: ci-fetch
ci-fetch: | apt
	@dpkg --print-foreign-architectures | grep -qx armhf || $(SUDO) dpkg --add-architecture armhf
	$(call apt_install,$(LINT_APT_PACKAGES) $(KERNEL_APT_PACKAGES) $(FUZZ_APT_PACKAGES) $(ARMHF_HOST_PACKAGES))
	$(MAKE) --no-print-directory pythons-venvs armhf-root
