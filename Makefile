# Two commands do all set-up on a fresh machine: `make demo` and `make test`.
# Both install what they need: the ICU development package from Debian when it is
# missing, a virtual environment in .venv with the build and test dependencies, and the
# module itself (rebuilt incrementally under build/).
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
# The machines have two cores: native builds run at most two jobs at once.
export CMAKE_BUILD_PARALLEL_LEVEL ?= 2

.PHONY: demo test bench asan fuzz install icu cpp-test toolchain icu-static sdist wheel wheel-test wheel-test-old wheels clean

demo: install
	$(VPY) examples/demo.py

# The suite runs on both cores (a test file stays on one worker, so that its module-scoped
# fixtures, a Ray cluster among them, are made once), then the tests marked serial, which
# time how soon an interrupt is heard, run alone.
PARALLEL := -n 2 --dist loadfile
test: install cpp-test
	$(VPY) -m pytest -q $(PARALLEL) -m "not serial" tests
	$(VPY) -m pytest -q -m serial tests

bench: install
	$(VPY) -m pip install -q -r bench/requirements.txt
	$(VPY) bench/run_all.py

icu:
	@if ! dpkg -s libicu-dev >/dev/null 2>&1; then \
	  echo "== installing the ICU development package (libicu-dev)"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libicu-dev; \
	fi
	@# Unicode's normalization conformance data, used by the tests when present.
	@if [ ! -f /usr/share/unicode/NormalizationTest.txt ] && ! dpkg -s unicode-data >/dev/null 2>&1; then \
	  echo "== installing Unicode's data files (unicode-data), for the normalization conformance test"; \
	  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq unicode-data; } >/dev/null 2>&1 \
	    || echo "   (unicode-data could not be installed; that test will be skipped)"; \
	fi
	@# A compiler cache: the module, the tests, the sanitizer build and each wheel share the
	@# core's objects (CMakeLists.txt); builds only take longer without it.
	@if ! command -v ccache >/dev/null; then \
	  echo "== installing the compiler cache (ccache)"; \
	  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq ccache; } >/dev/null 2>&1 \
	    || echo "   (ccache could not be installed; builds go on without it)"; \
	fi

$(VPY):
	$(PYTHON) -m venv $(VENV)

$(VENV)/.deps-stamp: requirements-dev.txt | $(VPY)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt
	touch $@

install: icu $(VENV)/.deps-stamp
	$(VPY) -m pip install -q --no-build-isolation --no-deps -C build-dir=build/module .

# The core's own tests, for internals the Python surface does not reach: built in the
# module's build tree, so that the core they link is the one the module was built from.
cpp-test: install
	$(CMAKE) -S . -B build/module -DLARKSPUR_CPP_TESTS=ON >/dev/null
	$(CMAKE) --build build/module --target core_tests
	build/module/core_tests

# Address, leak and undefined-behaviour sanitizers on the core, the module and the C++
# tests, with the whole Python suite run against the instrumented module. The interpreter
# starts with the sanitizer runtimes preloaded and its object allocator routed through
# malloc, so a Python object the module leaks is a leak report too; the interpreter's own
# memory is still reachable at exit and reports nothing, so every report is ours, except
# for the known interpreter leaks listed in tests/lsan.supp.
ASAN_RUNTIMES = $$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)
# The suite's workers (and the processes its tests start) write their reports to files,
# since the exit status of a worker that reports leaks as it ends is not the suite's: any
# report fails the run, after it is printed.
SANITIZER_REPORTS := $(abspath build/asan/reports)
SANITIZED_PYTEST = LD_PRELOAD="$(ASAN_RUNTIMES)" PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:log_path=$(SANITIZER_REPORTS)/asan \
	  LSAN_OPTIONS=suppressions=$(abspath tests/lsan.supp):print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(SANITIZER_REPORTS)/ubsan \
	  LARKSPUR_SANITIZED=1 PYTHONPATH=build/asan $(VPY) -m pytest -q tests -p no:cacheprovider
asan: icu $(VENV)/.deps-stamp
	$(CMAKE) -S . -B build/asan -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DLARKSPUR_CPP_TESTS=ON -DLARKSPUR_SANITIZE="address;undefined" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	$(CMAKE) --build build/asan
	@# The instrumented larkspur._engine sits in build/asan/larkspur; the package's Python
	@# files join it there, so that PYTHONPATH=build/asan imports both instrumented modules.
	mkdir -p build/asan/larkspur && ln -sf $(abspath python/larkspur)/*.py $(abspath python/larkspur)/py.typed build/asan/larkspur/ && ln -sfn $(abspath python/larkspur)/cli $(abspath python/larkspur)/data $(abspath python/larkspur)/_extension build/asan/larkspur/
	ASAN_OPTIONS=detect_leaks=1 build/asan/core_tests
	rm -rf $(SANITIZER_REPORTS) && mkdir -p $(SANITIZER_REPORTS)
	$(SANITIZED_PYTEST) $(PARALLEL) -m "not serial"
	$(SANITIZED_PYTEST) -m serial
	@if [ -n "$$(ls -A $(SANITIZER_REPORTS))" ]; then head -c 20000 $(SANITIZER_REPORTS)/*; \
	  echo "== the sanitizers reported the above"; exit 1; fi

# libFuzzer targets, each driving one entry point of the core and checking a property.
# `make fuzz` runs each for FUZZ_TIME seconds (FUZZ_TARGETS picks some); the corpora grow
# under build/fuzz/corpus, seeded from fuzz/corpus. A crash stops the run and leaves its
# input as build/fuzz/crash-*.
FUZZ_TIME ?= 60
FUZZ_TARGETS ?= fuzz_normalize fuzz_dfa fuzz_encode fuzz_vocab_tsv fuzz_checkpoint fuzz_train
fuzz: icu $(VENV)/.deps-stamp
	@command -v clang++ >/dev/null || { echo "== installing clang for libFuzzer"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang; }
	$(CMAKE) -S . -B build/fuzz -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_CXX_COMPILER=clang++ -DLARKSPUR_MODULE=OFF -DLARKSPUR_FUZZ=ON >/dev/null
	$(CMAKE) --build build/fuzz
	for t in $(FUZZ_TARGETS); do \
	  mkdir -p build/fuzz/corpus/$$t && cp -n fuzz/corpus/$$t/* build/fuzz/corpus/$$t/ && \
	  build/fuzz/$$t -max_total_time=$(FUZZ_TIME) -max_len=8192 -close_fd_mask=2 -print_final_stats=1 \
	    -artifact_prefix=build/fuzz/crash-$$t- build/fuzz/corpus/$$t 2>&1 | tee build/fuzz/$$t.log \
	    | grep -E "^(Done|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY)"; \
	  test $${PIPESTATUS[0]} -eq 0 || exit 1; done

# The published wheel, for glibc 2.17 and newer (manylinux2014), with nothing from the system
# but the C library: zig's clang from PyPI compiles for glibc 2.17 and links its libc++
# statically (packaging/zig_toolchain.py), against ICU's common library built from Debian's
# source package as a static library with hidden symbols, once, under build/icu-static
# (packaging/build_icu.py). `make wheel` builds the sdist, then the wheel of the interpreter
# PYTHON from it, and has auditwheel check and tag it (packaging/build_wheels.py,
# packaging/repair_wheel.py); both land in dist/. docs/packaging.md tells the whole story.
WHEEL_TOOLCHAIN := build/zig-toolchain
ICU_STATIC := build/icu-static
WHEEL_PY = $$(command -v $(PYTHON))
WHEEL_VERSION = $$($(PYTHON) -c 'import sys, sysconfig; print("%d.%d%s" % (sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "",)))')
VERSION := $(shell sed -n 's/^version = "\(.*\)"/\1/p' pyproject.toml)
SDIST := build/wheel/sdist/larkspurtokenization-$(VERSION).tar.gz
BUILD_WHEELS = $(VPY) packaging/build_wheels.py $(SDIST) dist build/wheel --toolchain $(WHEEL_TOOLCHAIN) --icu $(ICU_STATIC)

# Only what the wheel's build needs, so that `make wheel` works without the development set.
$(VENV)/.wheel-stamp: requirements-wheel.txt | $(VPY)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-wheel.txt
	touch $@

toolchain: $(VENV)/.wheel-stamp
	$(VPY) packaging/zig_toolchain.py $(WHEEL_TOOLCHAIN)

icu-static: toolchain
	@if ! command -v dpkg-source >/dev/null; then \
	  echo "== installing dpkg-dev, whose dpkg-source unpacks ICU's source package"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq dpkg-dev >/dev/null; \
	fi
	$(VPY) packaging/build_icu.py $(ICU_STATIC) --toolchain $(WHEEL_TOOLCHAIN)

sdist: $(VENV)/.wheel-stamp
	rm -rf build/wheel/sdist
	$(VPY) -m build --sdist --no-isolation --outdir build/wheel/sdist .
	mkdir -p dist && cp $(SDIST) dist/

wheel: icu-static sdist
	$(BUILD_WHEELS) --python "$(WHEEL_PY)" --no-test

# The wheel of PYTHON in a fresh virtual environment, both packages used from it with the
# system's ICU libraries hidden from the loader, then again in a process that has loaded the
# system's ICU first, with its symbols global; before that, the wheel's extensions are checked
# to need nothing but the C library and to export nothing but their init functions
# (tests/wheel/check_wheel.py).
wheel-test: wheel
	$(VPY) tests/wheel/check_wheel.py --python "$(WHEEL_PY)" --wheels dist --workdir build/wheel-test

# The cp39 wheel, built and checked here as in wheel-test, then on an older system: Debian 11
# (glibc 2.31, Python 3.9, GCC 10's C++ runtime), made with debootstrap once and kept under
# build/debian11, where the wheel is installed with its requirements from PyPI and used the
# same way (tests/wheel/check_old_system.py).
OLD_PYTHON = $$($(VPY) packaging/build_wheels.py --find 3.9)
wheel-test-old: icu-static sdist
	$(BUILD_WHEELS) --python "$(OLD_PYTHON)"
	$(VPY) tests/wheel/check_old_system.py --wheels dist --root build/debian11

# Wheels for the other CPython versions found here (3.9 to 3.14, free-threaded builds too),
# each built from the sdist, repaired and tested as above.
wheels: wheel
	$(BUILD_WHEELS) --skip "$(WHEEL_VERSION)"

clean:
	rm -rf build
