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

# Fifteen seconds of a small motor boat's traffic, played live on the simulated bus into JSON
# mode with the shipped description file; RAW=1 shows raw mode. The bus stops the listener
# with SIGTERM at the end of the capture.
DEMO_CAPTURE := captures/demo.log
ifeq ($(RAW),1)
DEMO_OPTIONS :=
else
DEMO_OPTIONS := -j -c share/n2k-devices.conf
endif

# Installs under DESTDIR: the program and manual under PREFIX, the description file at the
# path compiled into the program (CMAKE_FLAGS=-DN2K_DEFAULT_CONFIG_PATH=... to choose it).
PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: demo install package

demo: build
	@LD_PRELOAD=$(BUILD)/sim/libn2k_sim.so N2K_SIM_FEED=$(DEMO_CAPTURE) N2K_SIM_PACE=1 \
		$(BUILD)/n2k-listen can0 $(DEMO_OPTIONS)

install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# The Debian package, in $(BUILD)/.
package: build
	cd $(BUILD) && cpack -G DEB
