# Every target runs inside the project's Python 3.14 environment (tools/env).
# Outside it, make re-runs itself there.

.PHONY: build test test-cpp test-pythons clean demo load bench test-asan test-debug debug-suite fuzz fuzz-merge stubtest \
	test-matrix test-pytest-django test-postgres test-postgres-run test-django

ifeq ($(QUORVEL_IN_ENV),)

build test test-cpp test-pythons clean demo load bench test-asan test-debug fuzz fuzz-merge stubtest \
	test-matrix test-pytest-django test-postgres test-django:
	@tools/env $(MAKE) --no-print-directory $@

else

PYTHON ?= python3
EXT_SUFFIX := $(shell $(PYTHON) -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
PY_INCLUDE := $(shell $(PYTHON) -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
PY_LIBDIR := $(shell $(PYTHON) -c 'import sysconfig; print(sysconfig.get_config_var("LIBDIR"))')
PY_LDVERSION := $(shell $(PYTHON) -c 'import sysconfig; print(sysconfig.get_config_var("LDVERSION"))')

# Objects are built per interpreter (its EXT_SUFFIX without the dots, for
# example cpython-314-x86_64-linux-gnu): builds for several interpreters live
# side by side, and no extension links objects compiled against another's headers.
PY_TAG := $(patsubst .%.so,%,$(EXT_SUFFIX))
BUILD := build/dev/$(PY_TAG)
EXT := quorvel_core/_quorvel_core$(EXT_SUFFIX)
# The field kinds live in src/kinds/, one unit per kind as in quorvel_core/kinds/.
SOURCES := $(wildcard src/*.cpp src/kinds/*.cpp)
OBJECTS := $(SOURCES:src/%.cpp=$(BUILD)/%.o)
CXX ?= g++
CXXFLAGS ?= -O2 -g
WARNINGS := -Wall -Wextra -Werror
# The release is written once, in pyproject.toml; the module publishes it.
VERSION := $(shell sed -n 's/^version = "\(.*\)"$$/\1/p' pyproject.toml)
VERSION_FLAG := -DQC_VERSION='"$(VERSION)"'
ALL_CXXFLAGS := -std=c++20 -fPIC -fvisibility=hidden $(WARNINGS) $(CXXFLAGS) $(VERSION_FLAG) -I$(PY_INCLUDE) -MMD -MP

CPP_TESTS := $(wildcard tests/cpp/*.cpp)
CPP_TEST_BIN := $(BUILD)/cpp_tests

build: $(EXT)

EXPORTS := -Wl,--version-script=src/exports.map

$(EXT): $(OBJECTS) src/exports.map
	$(CXX) -shared $(EXPORTS) -o $@ $(OBJECTS) $(LDFLAGS)

$(BUILD)/%.o: src/%.cpp
	@mkdir -p $(@D)
	$(CXX) $(ALL_CXXFLAGS) -c $< -o $@

# C++ unit tests for internals that Python cannot reach: the module's objects
# linked against libpython, some run under an embedded interpreter.
$(CPP_TEST_BIN): $(CPP_TESTS) $(OBJECTS)
	$(CXX) $(ALL_CXXFLAGS) -Isrc -o $@ $(CPP_TESTS) $(OBJECTS) -L$(PY_LIBDIR) -lpython$(PY_LDVERSION)

test-cpp: build $(CPP_TEST_BIN)
	$(CPP_TEST_BIN)

test: test-cpp
	$(PYTHON) -m pytest -q -p no:cacheprovider tests
	$(PYTHON) -m pytest -q -p no:cacheprovider --quorvel-install tests

# Debian packages that one target needs, installed into the environment the
# first time: $(call apt_install,TARGET,LOG_DIR,PACKAGES). The package lists
# are refreshed once if the first try fails.
APT_INSTALL := DEBIAN_FRONTEND=noninteractive timeout 600 apt-get install -y -qq --no-install-recommends
apt_install = echo "$(1): installing $(3) into the environment"; mkdir -p $(2); \
	$(APT_INSTALL) $(3) >$(2)/apt.log 2>&1 \
	|| { timeout 300 apt-get update -qq >>$(2)/apt.log 2>&1 && $(APT_INSTALL) $(3) >>$(2)/apt.log 2>&1; } \
	|| { tail -n 20 $(2)/apt.log; echo "$(1): cannot install $(3)"; exit 1; }

# The C++ tests and both passes of the suite under each supported CPython
# (Debian's, with their headers from apt the first time), with the
# environment's Django and DRF; tools/pythons.py prints the counts.
PYTHONS ?= python3.13 python3.14 python3.15
PYTHONS_PACKAGES := $(foreach p,$(PYTHONS),$(if $(wildcard /usr/include/$(p)/Python.h),,$(p) $(p)-dev))
test-pythons:
	@$(if $(PYTHONS_PACKAGES),$(call apt_install,test-pythons,build/pythons,$(PYTHONS_PACKAGES)))
	$(PYTHON) tools/pythons.py $(PYTHONS)

# The whole suite against every supported pair of Django and DRF, each in a
# virtual environment of its own under build/matrix (made once, from PyPI),
# with the extension built here; MATRIX_ARGS="--pair 6.0-3.17" picks pairs.
MATRIX_ARGS ?=
test-matrix: build
	$(PYTHON) tools/matrix.py $(MATRIX_ARGS)

# Django's own test suite, that of the environment's release (its sdist from
# PyPI, unpacked once under build/django-tests), with install() active; the
# modules that had failures run again plain. Fails when a test fails only with
# install(), or when no queryset took the native path. TEST_DJANGO_ARGS goes to
# tools/django_tests.py: test labels, runtests.py options, --parallel N,
# --full-plain, --orm, --python build/matrix/6.1-3.18/bin/python.
TEST_DJANGO_ARGS ?=
test-django: build
	$(PYTHON) tools/django_tests.py $(TEST_DJANGO_ARGS)

# The suite with pytest-django installed beside the environment's Django and
# DRF (build/pytest-django): the plugin must stay out of the suite's way.
test-pytest-django: build
	$(PYTHON) tools/matrix.py --pytest-django

# The demo API, plain DRF against quorvel_core (ARGS=--serve serves it).
demo: build
	$(PYTHON) -m demo $(ARGS)

# The suite, plain and with install(), and the demo's comparison against a
# private PostgreSQL server: tools/postgres.sh installs Debian's server and
# psycopg once, starts the server on a Unix socket under build/postgres, runs
# test-postgres-run there (its python3 the one with psycopg) and stops the
# server however the run ends.
test-postgres: build
	tools/postgres.sh $(MAKE) --no-print-directory PYTHON=python3 test-postgres-run

test-postgres-run:
	$(PYTHON) -m pytest -q -p no:cacheprovider tests
	$(PYTHON) -m pytest -q -p no:cacheprovider --quorvel-install tests
	$(PYTHON) -m demo

# The whole suite against the extension built with AddressSanitizer and
# UndefinedBehaviorSanitizer. The instrumented library goes into its own copy of
# the package (the Python files are links), which the tests import instead of
# the checkout's; the stock interpreter needs the ASan runtime preloaded (with
# libstdc++ right after it, or ASan cannot intercept a C++ throw), and
# Python's own allocator off so that ASan sees every object's memory. Leak
# checks are the suite's job (tests/test_reliability_leaks.py): the interpreter
# never frees everything at exit, so LeakSanitizer would only report noise.
ASAN_BUILD := build/asan/$(PY_TAG)
ASAN_ROOT := $(ASAN_BUILD)/package
ASAN_EXT := $(ASAN_ROOT)/quorvel_core/_quorvel_core$(EXT_SUFFIX)
ASAN_OBJECTS := $(SOURCES:src/%.cpp=$(ASAN_BUILD)/%.o)
SANITIZE := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
# Reports go to files too: pytest's output capture would swallow them.
# The module's own operator new and delete are malloc and free, as libstdc++'s
# are, so a std::string grown by libstdc++'s compiled code (its operator new)
# and dropped by the module's inline code (its delete, free) is sound; ASan
# would report that pairing as a mismatch, so that check is off.
ASAN_REPORT := $(ASAN_BUILD)/report
ASAN_ENV := LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:alloc_dealloc_mismatch=0:strict_string_checks=1:log_path=$(CURDIR)/$(ASAN_REPORT) \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(CURDIR)/$(ASAN_REPORT)

$(ASAN_BUILD)/%.o: src/%.cpp
	@mkdir -p $(@D)
	$(CXX) $(ALL_CXXFLAGS:-O2=-O1) $(SANITIZE) -c $< -o $@

$(ASAN_EXT): $(ASAN_OBJECTS) src/exports.map
	@mkdir -p $(@D)
	$(CXX) -shared $(SANITIZE) $(EXPORTS) -o $@ $(ASAN_OBJECTS) $(LDFLAGS)

# Links the package's Python files (and folders) next to an extension built
# elsewhere; run before each use, so that files added since are there too.
link_package = cd $(1) && for f in $(CURDIR)/quorvel_core/*; do \
	case $$f in *.so|*/__pycache__) ;; *) ln -sfn $$f . ;; esac; done

test-asan: $(ASAN_EXT)
	@$(call link_package,$(ASAN_ROOT)/quorvel_core)
	@rm -f $(ASAN_REPORT).*
	$(ASAN_ENV) PYTHONPATH=$(ASAN_ROOT) $(PYTHON) -P -m pytest -q -p no:cacheprovider \
		--import-mode=append tests || { cat $(ASAN_REPORT).* 2>/dev/null; exit 1; }
	@if ls $(ASAN_REPORT).* >/dev/null 2>&1; then cat $(ASAN_REPORT).*; exit 1; fi

# The whole suite and the C++ unit tests under Debian's debug build of CPython
# (python3.14-dbg). Py_DEBUG turns on the interpreter's own assertions: a
# reference count that drops below zero, a C-API call made while an exception
# is set, a result returned together with an exception, a freed block (the
# debug allocator fills it) read again, each stops the run where it happens.
# The extension is built against the debug headers, whose inline functions
# check too, into its own copy of the package, as for ASan. The debug
# interpreter loads release-ABI extensions as well, so the run checks that
# the debug build is the one imported. The interpreter comes from apt into the
# environment the first time; a second make then reads its sysconfig, as
# `make test` reads the release one's.
DEBUG_PYTHON := python3.14-dbg
DEBUG_BUILD := build/debug
DEBUG_ROOT := $(DEBUG_BUILD)/package
DEBUG_EXT := $(DEBUG_ROOT)/quorvel_core/_quorvel_core$(EXT_SUFFIX)
DEBUG_OBJECTS := $(SOURCES:src/%.cpp=$(DEBUG_BUILD)/%.o)
DEBUG_CPP_TEST_BIN := $(DEBUG_BUILD)/cpp_tests
DEBUG_CXXFLAGS := $(ALL_CXXFLAGS:-O2=-O1)
DEBUG_ENV := PYTHONPATH=$(CURDIR)/$(DEBUG_ROOT) QUORVEL_EXPECT_EXTENSION=$(CURDIR)/$(DEBUG_EXT)
DEBUG_PYTEST := $(DEBUG_ENV) $(PYTHON) -P -m pytest -q -p no:cacheprovider --import-mode=append

test-debug:
	@command -v $(DEBUG_PYTHON) >/dev/null 2>&1 || { $(call apt_install,test-debug,$(DEBUG_BUILD),$(DEBUG_PYTHON)); }
	@$(MAKE) --no-print-directory PYTHON=$(DEBUG_PYTHON) debug-suite

# The rules below exist only in the second make, so that nothing compiles the
# debug build's objects against the release headers.
ifeq ($(PYTHON),$(DEBUG_PYTHON))
$(DEBUG_BUILD)/%.o: src/%.cpp
	@mkdir -p $(@D)
	$(CXX) $(DEBUG_CXXFLAGS) -c $< -o $@

$(DEBUG_EXT): $(DEBUG_OBJECTS) src/exports.map
	@mkdir -p $(@D)
	$(CXX) -shared $(EXPORTS) -o $@ $(DEBUG_OBJECTS) $(LDFLAGS)

$(DEBUG_CPP_TEST_BIN): $(CPP_TESTS) $(DEBUG_OBJECTS)
	$(CXX) $(DEBUG_CXXFLAGS) -Isrc -o $@ $(CPP_TESTS) $(DEBUG_OBJECTS) -L$(PY_LIBDIR) -lpython$(PY_LDVERSION)

debug-suite: $(DEBUG_EXT) $(DEBUG_CPP_TEST_BIN)
	@$(call link_package,$(DEBUG_ROOT)/quorvel_core)
	@$(DEBUG_ENV) $(PYTHON) -P -c 'import sys, quorvel_core._quorvel_core as m; \
		assert hasattr(sys, "gettotalrefcount"), sys.executable + " is not a debug build"; \
		assert m.__file__ == sys.argv[1], m.__file__ + " imported instead of " + sys.argv[1]; \
		print("test-debug:", m.__file__, "under", sys.executable)' $(CURDIR)/$(DEBUG_EXT)
	$(DEBUG_CPP_TEST_BIN)
	$(DEBUG_PYTEST) tests
	$(DEBUG_PYTEST) --quorvel-install tests
endif

# Coverage-guided fuzzing (libFuzzer, clang): one driver binary that embeds the
# interpreter, links the extension built with coverage and sanitizers, and hands
# each input to a Python target of tests/fuzz/targets.py that checks the answer
# against Python's own json module and DRF. New inputs go to build/fuzz; the
# seed corpus in tests/fuzz/corpus is read only (`make fuzz-merge` adds the
# new inputs that widen coverage). FUZZ_SECONDS bounds each target's run.
FUZZ_BUILD := build/fuzz/$(PY_TAG)
FUZZ_OBJECTS := $(SOURCES:src/%.cpp=$(FUZZ_BUILD)/%.o)
FUZZER := $(FUZZ_BUILD)/fuzzer
FUZZ_TARGETS := from_json to_json schema
FUZZ_SECONDS ?= 60
# CI pins the seed and bounds the runs so that its short fuzz is repeatable.
FUZZ_SEED ?= 0
FUZZ_RUNS ?= -1
CLANGXX ?= clang++
FUZZ_FLAGS := -std=c++20 -g -O1 -Wall -Wextra -I$(PY_INCLUDE) -fno-omit-frame-pointer \
	-fsanitize=address,undefined -fno-sanitize-recover=all -MMD -MP -DQC_KEEP_GLOBAL_NEW $(VERSION_FLAG)
# Debian's clang comes without llvm-symbolizer; addr2line names the frames.
SYMBOLIZER := external_symbolizer_path=/usr/bin/addr2line
FUZZ_ENV := PYTHONPATH=$(CURDIR) PYTHONHASHSEED=0 PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:$(SYMBOLIZER) \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:$(SYMBOLIZER)

$(FUZZ_BUILD)/%.o: src/%.cpp
	@mkdir -p $(@D)
	$(CLANGXX) $(FUZZ_FLAGS) -fsanitize=fuzzer-no-link -fPIC -c $< -o $@

$(FUZZER): tests/fuzz/driver.cpp $(FUZZ_OBJECTS)
	$(CLANGXX) $(FUZZ_FLAGS) -fsanitize=fuzzer -o $@ $^ -L$(PY_LIBDIR) -lpython$(PY_LDVERSION)

fuzz: $(FUZZER)
	@for t in $(FUZZ_TARGETS); do \
		mkdir -p $(FUZZ_BUILD)/corpus/$$t && \
		echo "fuzz: $$t for $(FUZZ_SECONDS)s" && \
		FUZZ_TARGET=$$t $(FUZZ_ENV) $(FUZZER) -max_total_time=$(FUZZ_SECONDS) -seed=$(FUZZ_SEED) -runs=$(FUZZ_RUNS) -timeout=20 \
			-rss_limit_mb=4096 -max_len=8192 -print_final_stats=1 \
			-artifact_prefix=$(FUZZ_BUILD)/$$t- $(FUZZ_BUILD)/corpus/$$t tests/fuzz/corpus/$$t \
			> $(FUZZ_BUILD)/$$t.log 2>&1 \
			|| { tail -n 60 $(FUZZ_BUILD)/$$t.log; exit 1; }; \
		grep -E '^stat::(number_of_executed_units|new_units_added)' $(FUZZ_BUILD)/$$t.log; \
	done

fuzz-merge: $(FUZZER)
	@for t in $(FUZZ_TARGETS); do \
		FUZZ_TARGET=$$t $(FUZZ_ENV) $(FUZZER) -merge=1 -max_len=8192 \
			tests/fuzz/corpus/$$t $(FUZZ_BUILD)/corpus/$$t || exit 1; \
	done

# The demo API under load: gunicorn serves it twice, with quorvel_core and with
# plain DRF, and the same requests go to both (demo/load.py says how). gunicorn
# comes from PyPI into a virtual environment of its own, once; it sees the
# system's Django and DRF, and the checkout's quorvel_core through PYTHONPATH.
# LOAD_REQUESTS is the number of requests each server answers after warm-up.
LOAD_REQUESTS ?= 30000
LOAD_VENV := build/load/venv
GUNICORN := $(LOAD_VENV)/bin/gunicorn

$(GUNICORN):
	rm -rf $(LOAD_VENV)
	$(PYTHON) -m venv --system-site-packages $(LOAD_VENV)
	timeout 300 $(LOAD_VENV)/bin/pip install -q --disable-pip-version-check --retries 2 \
		--timeout 30 gunicorn

load: build $(GUNICORN)
	$(PYTHON) -m demo.load --gunicorn $(GUNICORN) --requests $(LOAD_REQUESTS)

# Speed-ups against DRF and the JSON libraries; not part of `make test`.
# serpy and Pydantic come from PyPI into the environment's virtual environment,
# once; without a network those comparisons are reported as not installed.
BENCH_ARGS ?=
bench: build
	@$(PYTHON) -c 'import serpy, pydantic' 2>/dev/null \
	  || timeout 300 $(PYTHON) -m pip install -q --disable-pip-version-check --retries 1 \
	       --timeout 15 serpy 'pydantic>=2,<3' \
	  || echo "bench: serpy and pydantic could not be installed; skipping those comparisons"
	$(PYTHON) -m bench $(BENCH_ARGS)

# The stubs against the runtime (mypy.stubtest), with mypy from PyPI in a
# virtual environment of its own.
STUBTEST_VENV := build/stubtest/venv
stubtest: build
	@test -x $(STUBTEST_VENV)/bin/mypy || { $(PYTHON) -m venv --system-site-packages $(STUBTEST_VENV) && \
		$(STUBTEST_VENV)/bin/pip install -q --disable-pip-version-check mypy; }
	DJANGO_SETTINGS_MODULE=tests.project.settings $(STUBTEST_VENV)/bin/python -m mypy.stubtest \
		quorvel_core --mypy-config-file tools/mypy-stubtest.ini --allowlist tools/stubtest-allowlist.txt

clean:
	rm -rf build quorvel_core/_quorvel_core*.so

-include $(OBJECTS:.o=.d) $(ASAN_OBJECTS:.o=.d) $(DEBUG_OBJECTS:.o=.d) $(FUZZ_OBJECTS:.o=.d)

# A new release number recompiles the unit that publishes it.
$(BUILD)/module.o $(ASAN_BUILD)/module.o $(DEBUG_BUILD)/module.o $(FUZZ_BUILD)/module.o: pyproject.toml

endif
