# Every target runs inside the project's Python 3.14 environment (tools/env).
# Outside it, make re-runs itself there.

.PHONY: build test clean demo

ifeq ($(QUORVEL_IN_ENV),)

build test clean demo:
	@tools/env $(MAKE) --no-print-directory $@

else

PYTHON ?= python3
EXT_SUFFIX := $(shell $(PYTHON) -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
PY_INCLUDE := $(shell $(PYTHON) -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
PY_LIBDIR := $(shell $(PYTHON) -c 'import sysconfig; print(sysconfig.get_config_var("LIBDIR"))')
PY_LDVERSION := $(shell $(PYTHON) -c 'import sysconfig; print(sysconfig.get_config_var("LDVERSION"))')

BUILD := build/dev
EXT := quorvel_core/_quorvel_core$(EXT_SUFFIX)
SOURCES := $(wildcard src/*.cpp)
OBJECTS := $(SOURCES:src/%.cpp=$(BUILD)/%.o)
CXX ?= g++
CXXFLAGS ?= -O2 -g
WARNINGS := -Wall -Wextra -Werror
ALL_CXXFLAGS := -std=c++20 -fPIC -fvisibility=hidden $(WARNINGS) $(CXXFLAGS) -I$(PY_INCLUDE) -MMD -MP

CPP_TESTS := $(wildcard tests/cpp/*.cpp)
CPP_TEST_BIN := $(BUILD)/cpp_tests

build: $(EXT)

$(EXT): $(OBJECTS)
	$(CXX) -shared -o $@ $^ $(LDFLAGS)

$(BUILD)/%.o: src/%.cpp | $(BUILD)
	$(CXX) $(ALL_CXXFLAGS) -c $< -o $@

$(BUILD):
	mkdir -p $@

# C++ unit tests for internals that Python cannot reach: the module's objects
# linked against libpython, some run under an embedded interpreter.
$(CPP_TEST_BIN): $(CPP_TESTS) $(OBJECTS)
	$(CXX) $(ALL_CXXFLAGS) -Isrc -o $@ $(CPP_TESTS) $(OBJECTS) -L$(PY_LIBDIR) -lpython$(PY_LDVERSION)

test: build $(CPP_TEST_BIN)
	$(CPP_TEST_BIN)
	$(PYTHON) -m pytest -q -p no:cacheprovider tests
	$(PYTHON) -m pytest -q -p no:cacheprovider --quorvel-install tests

# The demo API, plain DRF against quorvel_core (ARGS=--serve serves it).
demo: build
	$(PYTHON) -m demo $(ARGS)

clean:
	rm -rf build quorvel_core/_quorvel_core*.so

-include $(OBJECTS:.o=.d)

endif
