# The two commands a newcomer needs: `make demo` and `make test`.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps configure build test run demo screenshot bench package lintian clean

all: build

deps:
	@bash scripts/deps.sh

configure:
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: deps
	@$(MAKE) --no-print-directory build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The tool alone, on the real ports.
run: deps
	@$(MAKE) --no-print-directory build
	@$(BUILD_DIR)/app/talvex

# The tool against the simulated module on COM2.
demo: deps
	@$(MAKE) --no-print-directory build
	@bash scripts/demo.sh $(BUILD_DIR)

# The README's picture, taken under Xvfb.
screenshot: deps
	@$(MAKE) --no-print-directory build
	@bash scripts/screenshot.sh $(BUILD_DIR) docs/main-window.png

# A whole update through the simulator at line speed, beside stm32flash; then
# what polling costs the tool, answering and silent.
bench: deps
	@$(MAKE) --no-print-directory build
	@$(BUILD_DIR)/bench/bench_update
	@$(BUILD_DIR)/bench/bench_poll

# The Debian package, $(BUILD_DIR)/talvex_<version>_<arch>.deb: sudo apt install ./build/talvex_...deb
package: deps
	@$(MAKE) --no-print-directory build
	@cmake --build $(BUILD_DIR) --target package

# The package through Debian's lintian, which only this target installs.
lintian: package
	@bash scripts/deps.sh --lintian
	@lintian --fail-on error --display-info $$(ls -t $(BUILD_DIR)/talvex_*.deb | head -n 1)

clean:
	rm -rf $(BUILD_DIR)
