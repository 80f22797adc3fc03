# Developer entry points. Each target is self-contained on a fresh machine:
# it creates a virtual environment, installs what it needs from PyPI, builds
# and runs. The interpreter is CPython 3.10 where the machine has one, else
# the newest CPython 3.10 or later that tools/find_python.sh finds (it says
# which); PY=3.x asks for that version (its own .venv-3.x), PYTHON=/path
# for that interpreter. tools/bootstrap.sh installs what the interpreter
# lacks for building (Debian's python3-venv, python3-dev) when run as root,
# and otherwise prints the command that does.
PY ?=
ifneq ($(filter-out 3.10,$(PY)),)
VENV ?= .venv-$(PY)
else
VENV ?= .venv
endif
PYTHON ?=
VPY := $(VENV)/bin/python
# CRC=ZLIB (or ISAL, or BUILTIN: the core's own routine) forces a CRC-32
# backend; by default ISA-L is used when its headers are installed (Debian:
# libisal-dev), zlib otherwise.
# ZSTD=OFF builds without zstd (no compressed values), as a machine without
# libzstd's headers would; ZSTD=STATIC or SHARED insists on that linkage.
# PORTABLE=1 builds the portable POSIX path of the platform layer alone (no
# Linux-only system call), the one macOS and the BSDs take. ABI3=1 builds
# the module on the stable ABI: one abi3 wheel for CPython 3.10 and every
# later version (pip wheel . -Cwheel.py-api=cp310). Each knob builds in its
# own directory; give each its own VENV too, e.g.
# make test PORTABLE=1 VENV=.venv-portable.
BUILD_NAME :=
ifneq ($(CRC),)
KNOB_FLAGS += -Ccmake.define.ZELKOR_CRC=$(CRC)
BUILD_NAME := $(BUILD_NAME)crc-$(CRC)-
endif
ifneq ($(ZSTD),)
KNOB_FLAGS += -Ccmake.define.ZELKOR_ZSTD=$(ZSTD)
BUILD_NAME := $(BUILD_NAME)zstd-$(ZSTD)-
endif
ifneq ($(PORTABLE),)
KNOB_FLAGS += -Ccmake.define.ZELKOR_PORTABLE_POSIX=ON
BUILD_NAME := $(BUILD_NAME)portable-
endif
ifneq ($(ABI3),)
KNOB_FLAGS += -Cwheel.py-api=cp310
BUILD_NAME := $(BUILD_NAME){cache_tag}-
endif
ifneq ($(BUILD_NAME),)
KNOB_FLAGS += -Cbuild-dir=build/$(BUILD_NAME){wheel_tag}
endif
PIP_FLAGS ?= --disable-pip-version-check -q

.PHONY: test test-slow test-spark demo bench bench-growth venv install install-package clean \
	sanitize tsan valgrind fuzz windows wheels crash portable interpreter

$(VPY):
	@python=$$(PYTHON="$(PYTHON)" tools/bootstrap.sh $(PY)) && echo "$$python -m venv $(VENV)" && { "$$python" -m venv $(VENV) || { rm -rf $(VENV); exit 1; }; }
	$(VPY) -m pip install $(PIP_FLAGS) --upgrade pip

venv: $(VPY)

install: $(VPY)
	$(VPY) -m pip install $(PIP_FLAGS) $(KNOB_FLAGS) ".[test]"

# The package alone, with what it needs to run (msgpack): all the demo uses.
install-package: $(VPY)
	$(VPY) -m pip install $(PIP_FLAGS) $(KNOB_FLAGS) .

# PYTEST_ARGS narrows the run (make test PYTEST_ARGS=tests/test_cli.py).
test: install
	$(VPY) -m pytest -q $(PYTEST_ARGS)

# The Spark tests, left out of `make test`: a local[2] session building sets
# to the local S3 server and to a directory (about a minute). pyspark from
# PyPI, and a Java runtime, which tools/bootstrap.sh installs as root
# (Debian's openjdk-17-jre-headless).
test-spark: $(VPY)
	tools/bootstrap.sh java
	$(VPY) -m pip install $(PIP_FLAGS) $(KNOB_FLAGS) ".[test,spark]"
	$(VPY) -m pytest -q -m spark

# The tests left out of `make test`: stores past 4 GiB (a few minutes, about
# 10 GiB of memory and 10 GiB of disk at the peak; CI runs them).
test-slow: install
	$(VPY) -m pytest -q -m slow

# The zlkr command on the bundled data set, then the Python API.
demo: install-package
	PATH="$(abspath $(VENV))/bin:$$PATH" bash examples/cli_demo.sh
	$(VPY) examples/demo.py

# Side-by-side benchmark against the peers a Python user would pick
# (run by hand; BENCH_ARGS=--quick for 20,000 keys, --publish to update
# docs/bench/). Builds the module with the core benchmark program.
bench: venv
	$(VPY) -m pip install $(PIP_FLAGS) lmdb marisa-trie msgpack matplotlib cmake ninja
	$(VENV)/bin/cmake -S . -B build/bench -G Ninja -DPython_EXECUTABLE=$(abspath $(VPY)) -DZELKOR_BUILD_BENCH=ON
	$(VENV)/bin/cmake --build build/bench
	PYTHONPATH=build/bench $(VPY) bench/compare.py --core-build build/bench/bench/zelkor_core_build $(BENCH_ARGS)

# How the costs grow with the number of keys (run by hand; 1, 10 and 50
# million keys by default, about 12 GiB of memory at the peak;
# GROWTH_ARGS="--keys 1000000 10000000" for less, --out docs/bench/growth.md
# to publish).
bench-growth: venv
	$(VPY) -m pip install $(PIP_FLAGS) msgpack cmake ninja
	$(VENV)/bin/cmake -S . -B build/bench -G Ninja -DPython_EXECUTABLE=$(abspath $(VPY)) -DZELKOR_BUILD_BENCH=ON
	$(VENV)/bin/cmake --build build/bench
	PYTHONPATH=build/bench $(VPY) bench/growth.py $(GROWTH_ARGS)

# The checks CI runs beside `make test` (.ci/run runs every one). Each
# builds what it needs in its own directory and installs what it lacks.

# The suite against a module built with AddressSanitizer and UBSan
# (PYTEST_ARGS narrows it).
sanitize:
	tools/sanitize.sh $(PYTEST_ARGS)

# The core's helper threads under ThreadSanitizer.
tsan:
	tools/tsan.sh

# Memcheck over every method of the module, on good and damaged stores.
valgrind:
	tools/valgrind.sh

# Coverage-guided fuzzing of the core: FUZZ_SECONDS per target (default
# 60), FUZZ_TARGETS to choose (fuzz_reader, fuzz_mapped, fuzz_compressed,
# fuzz_build).
FUZZ_SECONDS ?= 60
fuzz:
	tools/fuzz.sh $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# The core cross-built with mingw-w64, its test program under Wine, then
# natively.
windows:
	tools/windows_check.sh

# The wheels and the sdist as users get them: built, repaired to
# manylinux, installed in fresh environments and tested.
wheels:
	tools/wheel_check.sh $(PYTEST_ARGS)

# Simulated power loss at every point of every crash scenario, with larger
# samples than the suite takes (CRASH_ARGS="--samples 5000 --seed 7").
crash: install
	$(VPY) tools/crash_check.py $(CRASH_ARGS)

# The suite on the portable POSIX layer (the one macOS and the BSDs take),
# which must import no Linux-only call, and the default build, which must
# import every one.
portable: install
	tools/linux_calls.sh --all $(VENV)
	$(MAKE) test PORTABLE=1 VENV=.venv-portable
	tools/linux_calls.sh --none .venv-portable

# The interpreter that make picks on a machine without pyenv and CPython 3.10.
interpreter:
	tools/interpreter_check.sh

clean:
	rm -rf build .venv .venv-* .pytest_cache .hypothesis
