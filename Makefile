# The two commands a newcomer needs: `make demo` and `make test`.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# Tests run at once by make test. They mostly wait rather than compute, so one
# more than the cores finishes sooner (28 s against 43 s on two cores) and held up
# beside a busy loop; at twice the cores a busy machine makes the timing tests
# miss their marks. The sanitizer run keeps one per core.
TEST_JOBS ?= $(shell echo $$(( $(JOBS) + 1 )))

SANITIZE_BUILD_DIR ?= build-sanitize
FUZZ_BUILD_DIR ?= build-fuzz
FUZZ_BYTES ?= 10000000
FUZZ_SMOKE_BYTES ?= 2000000
SOAK_SECONDS ?= 3600
# ccache, where installed, makes the second and later builds of each folder quick.
CCACHE := $(if $(shell command -v ccache 2>/dev/null),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

.PHONY: all deps deps-fuzz configure build translations test test-sanitize fuzz fuzz-smoke soak run demo screenshot bench package lintian format clean

all: build

deps:
	@bash scripts/deps.sh

deps-fuzz:
	@bash scripts/deps.sh fuzz

configure:
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CCACHE) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# The English catalogue brought up to date with the window texts in the sources:
# new texts are added unfinished (the build refuses them until they have their
# English), texts no source has any more are dropped.
translations: configure
	@cmake --build $(BUILD_DIR) --target translations

test: deps
	@$(MAKE) --no-print-directory build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(TEST_JOBS)

# The whole suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer
# in a folder of its own. Any report fails the test that made it.
test-sanitize: deps
	@cmake -S . -B $(SANITIZE_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALVEX_SANITIZE=ON $(CCACHE) >/dev/null
	@cmake --build $(SANITIZE_BUILD_DIR) -j $(JOBS) --target talvex_tests
	@cd $(SANITIZE_BUILD_DIR) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) -E package_deb

# Every fuzz target, built with clang in its own folder, fed FUZZ_BYTES input bytes each.
fuzz: deps-fuzz
	@FUZZ_BYTES=$(FUZZ_BYTES) FUZZ_BUILD_DIR=$(FUZZ_BUILD_DIR) JOBS=$(JOBS) bash scripts/fuzz.sh

# The same with a small budget: CI's check that the targets build, run and hold.
fuzz-smoke: deps-fuzz
	@FUZZ_BYTES=$(FUZZ_SMOKE_BYTES) FUZZ_BUILD_DIR=$(FUZZ_BUILD_DIR) JOBS=$(JOBS) bash scripts/fuzz.sh

# SOAK_SECONDS of polling through a faulty line, niced so it disturbs little.
soak: deps
	@$(MAKE) --no-print-directory configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target soak talvex-sim >/dev/null
	@nice -n 10 $(BUILD_DIR)/bench/soak --seconds $(SOAK_SECONDS) $(SOAK_ARGS)

# The tool alone, on the real ports.
run: deps
	@$(MAKE) --no-print-directory build
	@$(BUILD_DIR)/app/talvex

# The tool against the simulated module on COM2.
demo: deps
	@$(MAKE) --no-print-directory build
	@bash scripts/demo.sh $(BUILD_DIR)

# The README's pictures (the main window and the trend window), taken under Xvfb.
screenshot: deps
	@$(MAKE) --no-print-directory build
	@bash scripts/screenshot.sh $(BUILD_DIR) docs

# A whole update through the simulator at line speed, beside stm32flash; then
# what polling costs the tool, answering and silent, and with the trend chart and
# the trace window open against closed; the search for a lost module.
bench: deps
	@$(MAKE) --no-print-directory build
	@$(BUILD_DIR)/bench/bench_update
	@$(BUILD_DIR)/bench/bench_poll
	@$(BUILD_DIR)/bench/bench_scan
	@$(BUILD_DIR)/bench/bench_views
	@$(BUILD_DIR)/bench/bench_station

# The Debian package, $(BUILD_DIR)/talvex_<version>_<arch>.deb: sudo apt install ./build/talvex_...deb
package: deps
	@$(MAKE) --no-print-directory build
	@cmake --build $(BUILD_DIR) --target package

# The package through Debian's lintian, which only this target installs.
lintian: package
	@bash scripts/deps.sh --lintian
	@lintian --fail-on error --display-info $$(ls -t $(BUILD_DIR)/talvex_*.deb | head -n 1)

# The house style (.clang-format) over every C++ file of the project.
format:
	@clang-format -i $$(git ls-files '*.h' '*.cpp')

clean:
	rm -rf $(BUILD_DIR)
