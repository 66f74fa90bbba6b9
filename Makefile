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

configure = cmake -S . -B $(1) -DN2K_WERROR=$(WERROR) -DN2K_REQUIRE_TESTS=OFF $(CMAKE_FLAGS) $(2) \
	>/dev/null

# `make test` must never pass on a build whose tests were left out for a missing dependency.
TEST_FLAGS := -DN2K_REQUIRE_TESTS=ON

.PHONY: all build test deps format format-check clean

all: build

deps:
	@tools/install-deps.sh

build:
	$(call configure,$(BUILD))
	cmake --build $(BUILD) -j$(JOBS)

test: deps
	$(call configure,$(BUILD),$(TEST_FLAGS))
	cmake --build $(BUILD) -j$(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)
ifdef OTHER_BUILD
	$(call configure,$(OTHER_BUILD),$(OTHER_FLAGS) $(TEST_FLAGS))
	cmake --build $(OTHER_BUILD) -j$(JOBS)
	ctest --test-dir $(OTHER_BUILD) --output-on-failure -j$(JOBS)
endif

FORMATTED = $(shell git ls-files '*.cc' '*.h' '*.cpp')

format:
	clang-format -i $(FORMATTED)

format-check:
	clang-format --dry-run --Werror $(FORMATTED)

clean:
	rm -rf $(BUILD) $(OTHER_BUILD) $(PACKAGE_BUILD)

# Fifteen seconds of a small motor boat's traffic, played live on the simulated bus into JSON
# mode with the shipped description file; RAW=1 shows raw mode, DEMO_PACE=0 plays it at once.
# The bus stops the listener with SIGTERM at the end of the capture. Only the listener and the
# bus are built, not the tests.
DEMO_CAPTURE := captures/demo.log
DEMO_PACE ?= 1
ifeq ($(RAW),1)
DEMO_OPTIONS :=
else
DEMO_OPTIONS := -j -c share/n2k-devices.conf
endif

# Installs under DESTDIR: the program and manual under PREFIX, the description file at the
# path compiled into the program (CMAKE_FLAGS=-DN2K_DEFAULT_CONFIG_PATH=... to choose it).
# `make uninstall` removes the files that the last install from $(BUILD)/ wrote, as CMake
# listed them; CMake's list leaves DESTDIR out, so give uninstall the same DESTDIR.
PREFIX ?= /usr/local
DESTDIR ?=

# The Debian package, in a build of its own with the standard description-file path: whatever
# CMAKE_FLAGS an install left in $(BUILD)/'s cache never reaches a package.
PACKAGE_BUILD ?= build-package
PACKAGE_FLAGS := -DN2K_BUILD_TESTS=OFF -DN2K_DEBIAN_DOCS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-UN2K_DEFAULT_CONFIG_PATH

.PHONY: demo install uninstall package

demo:
	$(call configure,$(BUILD))
	cmake --build $(BUILD) -j$(JOBS) --target n2k-listen n2k_sim
	@LD_PRELOAD=$(BUILD)/sim/libn2k_sim.so N2K_SIM_FEED=$(DEMO_CAPTURE) N2K_SIM_PACE=$(DEMO_PACE) \
		$(BUILD)/n2k-listen can0 $(DEMO_OPTIONS)

install:
	$(call configure,$(BUILD))
	cmake --build $(BUILD) -j$(JOBS) --target n2k-listen n2k_manual
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

uninstall:
	@test -f $(BUILD)/install_manifest.txt || \
		{ echo "make uninstall: $(BUILD)/install_manifest.txt: nothing was installed" >&2; exit 1; }
	@while IFS= read -r file || [ -n "$$file" ]; do \
		echo "rm -f $(DESTDIR)$$file"; rm -f "$(DESTDIR)$$file" || exit 1; \
	done < $(BUILD)/install_manifest.txt
	rm -f $(BUILD)/install_manifest.txt

package:
	cmake -S . -B $(PACKAGE_BUILD) -DN2K_WERROR=$(WERROR) $(PACKAGE_FLAGS) >/dev/null
	cmake --build $(PACKAGE_BUILD) -j$(JOBS) --target n2k-listen n2k_manual
	cd $(PACKAGE_BUILD) && cpack -G DEB

# The whole suite again with AddressSanitizer and UndefinedBehaviorSanitizer, and the
# end-to-end tests with the listener under valgrind's memcheck. The heavy tests (load, kernel,
# shipping, bench) ran in the plain build and are not repeated. gcc's shared sanitizer runtime
# must come before the preloaded bus. The settings reach the tests through the CMake cache, which
# compiles them into the end-to-end runner. `make fuzz` builds the fuzz targets with clang, replays
# their inputs, then runs each for FUZZ_SECONDS (0: the replay only).
SANITIZE_BUILD := build-asan
VALGRIND_BUILD := build-valgrind
FUZZ_BUILD := build-fuzz
SANITIZERS := address,undefined
HEAVY_LABELS := load|kernel|shipping|bench
SANITIZE_PRELOAD = $$(gcc -print-file-name=libasan.so):$(CURDIR)/$(SANITIZE_BUILD)/sim/libn2k_sim.so
VALGRIND_COMMAND := valgrind --error-exitcode=99 -q --leak-check=full --errors-for-leak-kinds=definite
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := descriptions json_record fast_packet

.PHONY: sanitize valgrind fuzz

sanitize: deps
	$(call configure,$(SANITIZE_BUILD),-DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ \
		-DN2K_SANITIZE=$(SANITIZERS) "-DN2K_TEST_PRELOAD=$(SANITIZE_PRELOAD)")
	cmake --build $(SANITIZE_BUILD) -j$(JOBS)
	ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -j$(JOBS) -LE '$(HEAVY_LABELS)'

valgrind: deps
	$(call configure,$(VALGRIND_BUILD),"-DN2K_TEST_WRAPPER=$(VALGRIND_COMMAND)")
	cmake --build $(VALGRIND_BUILD) -j$(JOBS)
	ctest --test-dir $(VALGRIND_BUILD) --output-on-failure -j$(JOBS) -L e2e

fuzz: deps
	$(call configure,$(FUZZ_BUILD),-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
	cmake --build $(FUZZ_BUILD) -j$(JOBS) $(addprefix --target fuzz_,$(FUZZ_TARGETS))
	ctest --test-dir $(FUZZ_BUILD) --output-on-failure -L fuzz
ifneq ($(FUZZ_SECONDS),0)
	for t in $(FUZZ_TARGETS); do \
		mkdir -p $(FUZZ_BUILD)/fuzz-corpus/$$t $(FUZZ_BUILD)/fuzz-artifacts && \
		$(FUZZ_BUILD)/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -max_len=65536 \
			-dict=fuzz/$$t.dict -timeout=10 -close_fd_mask=2 -print_final_stats=1 \
			-artifact_prefix=$(FUZZ_BUILD)/fuzz-artifacts/$$t- \
			$(FUZZ_BUILD)/fuzz-corpus/$$t fuzz/corpus/$$t || exit 1; \
	done
endif

# The hot-path benchmarks beside their plain baselines, then the whole-process figure on the
# simulated bus, in a build of their own; docs/performance.md says what they measure.
.PHONY: bench

bench: deps
	$(call configure,build-bench,-DCMAKE_BUILD_TYPE=RelWithDebInfo)
	cmake --build build-bench -j$(JOBS) --target hot_path_bench bare_receive receive_clock \
		n2k-listen n2k_sim
	build-bench/bench/hot_path_bench
	bench/whole_process.sh build-bench
