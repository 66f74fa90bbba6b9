# A thin wrapper over CMake and CTest, so that building and testing need no CMake knowledge.
# The host's J1939 flavour builds in build/; on Linux the FreeBSD flavour builds in
# build-freebsd/ and is tested against the simulated bus as well.

JOBS ?= 2
WERROR ?= OFF
CMAKE_FLAGS ?=
BUILD := build
HOST := $(shell uname -s)
ifeq ($(HOST),Linux)
OTHER_BUILD := build-freebsd
OTHER_FLAGS := -DN2K_J1939_ABI=freebsd
endif

configure = cmake -S . -B $(1) -DN2K_WERROR=$(WERROR) $(CMAKE_FLAGS) $(2) >/dev/null

.PHONY: all build test deps format format-check clean

all: build

deps:
	@tools/install-deps.sh

build:
	$(call configure,$(BUILD))
	cmake --build $(BUILD) -j$(JOBS)

test: deps build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)
ifdef OTHER_BUILD
	$(call configure,$(OTHER_BUILD),$(OTHER_FLAGS))
	cmake --build $(OTHER_BUILD) -j$(JOBS)
	ctest --test-dir $(OTHER_BUILD) --output-on-failure -j$(JOBS)
endif

FORMATTED = $(shell git ls-files '*.cc' '*.h' '*.cpp')

format:
	clang-format -i $(FORMATTED)

format-check:
	clang-format --dry-run --Werror $(FORMATTED)

clean:
	rm -rf $(BUILD) $(OTHER_BUILD)
