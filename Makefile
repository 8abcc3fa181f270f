# Quillbox: `make run` and `make test` do all set-up on a fresh Debian 12 machine.
SHELL := /bin/bash
JOBS  ?= $(shell nproc)
BUILD ?= build
TESTBUILD ?= build-test
ARGS ?=

# Every Debian package the project needs to build, run and test.
DEBS := g++ cmake make pkg-config libsqlite3-dev libicu-dev libhiredis-dev \
        libboost-dev libcurl4-openssl-dev libcli11-dev libssl-dev openssl nlohmann-json3-dev libgtest-dev libgmock-dev \
        libbenchmark-dev redis-server chromium fonts-noto-color-emoji clang-format emscripten binaryen tcl \
        dpkg-dev esbuild systemd man-db
# Node.js and npm may come from elsewhere than Debian (a newer nodejs that carries its own npm).
NODE_DEBS := $(if $(shell command -v node),,nodejs) $(if $(shell command -v npm),,npm)

SUDO := $(if $(filter 0,$(shell id -u)),,sudo)

.PHONY: pictures deps build run install deb test-deb test test-unit test-browser test-wasm wasm bench clean format format-check ratio

# Installs only what is missing; waits for an apt lock held by another process.
deps:
	@missing=$$(for p in $(DEBS) $(NODE_DEBS); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 update -q && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends $$missing; \
	fi

# The Release build: what `make run` starts and what `make install` and `make deb` ship.
$(BUILD)/Makefile: CMakeLists.txt
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DQUILLBOX_TESTS=OFF -DQUILLBOX_BENCH=ON

build: deps wasm $(BUILD)/Makefile
	cmake --build $(BUILD) -j $(JOBS) --target quillbox

run: build
	./$(BUILD)/quillbox $(ARGS)

# The program (stripped), its manual page, its bash, zsh and fish completions, the systemd unit, its
# user and its settings, under $(DESTDIR)$(PREFIX) (the settings under $(DESTDIR)/etc, kept if there).
PREFIX ?= /usr/local
install: build
	sh packaging/install.sh $(BUILD)/quillbox "$(DESTDIR)" $(PREFIX)

# The Debian package, in $(BUILD)/: the same files under /usr, the unit in /lib/systemd/system.
deb: build
	sh packaging/build-deb.sh $(BUILD)/quillbox $(BUILD)

# The package's contents, the program it installs, its manual page and its unit, checked.
test-deb: deb
	sh packaging/deb_test.sh $$(ls -t $(BUILD)/quillbox_*.deb | head -n 1)

$(TESTBUILD)/Makefile: CMakeLists.txt
	cmake -S . -B $(TESTBUILD) -DCMAKE_BUILD_TYPE=Debug -DQUILLBOX_SANITIZE=ON -DQUILLBOX_TESTS=ON -DQUILLBOX_WERROR=ON

# Unit and integration tests under AddressSanitizer and UndefinedBehaviorSanitizer, then the browser tests.
test: deps wasm $(TESTBUILD)/Makefile
	@$(MAKE) --no-print-directory format-check
	cmake --build $(TESTBUILD) -j $(JOBS)
	cd $(TESTBUILD) && ctest --output-on-failure -j $(JOBS)
	@$(MAKE) --no-print-directory test-wasm
	@$(MAKE) --no-print-directory test-deb
	@if [ -f platform/web/browser_test/package.json ]; then $(MAKE) --no-print-directory test-browser; fi

# One test file at a time: each drives a real Chromium against a sanitized server on a small machine.
# A failure is a failure: nothing is run again.
BROWSER_TESTS = QUILLBOX_BIN=$(CURDIR)/$(TESTBUILD)/quillbox QUILLBOX_SHOTS=$(CURDIR)/$(TESTBUILD)/screenshots \
	node --test --test-concurrency=1
test-browser:
	cd platform/web/browser_test && (npm ci --no-audit --no-fund || npm install --no-audit --no-fund) && \
	  $(BROWSER_TESTS)

# The README's pictures of each tab, phone and tablet, into $(TESTBUILD)/screenshots/ (after make test).
pictures:
	cd platform/web/browser_test && $(BROWSER_TESTS) ../../../tools/pictures.mjs

# The WebAssembly build of the model, for the paired phone's Web Worker: build-wasm/device/ holds
# quillbox-device.js, quillbox-device.wasm and device-worker.js. Debian's emscripten, run with Debian's
# node modules; SQLite from Debian's source package, checked by apt against the archive's signatures.
WASMBUILD ?= build-wasm
EMENV := NODE_PATH=/usr/share/nodejs
NODE_RUN := node --no-experimental-fetch

$(WASMBUILD)/deps/sqlite3/src/parse.y: | deps
	sh tools/debian-source.sh sqlite3 $(WASMBUILD)/deps

$(WASMBUILD)/Makefile: CMakeLists.txt cmake/wasm.cmake | $(WASMBUILD)/deps/sqlite3/src/parse.y
	$(EMENV) emcmake cmake -S . -B $(WASMBUILD) -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null

wasm: deps $(WASMBUILD)/Makefile
	$(EMENV) cmake --build $(WASMBUILD) -j $(JOBS) --target quillbox-device

# The shared tables of cases against the WebAssembly build, under node.
test-wasm: deps $(WASMBUILD)/Makefile
	$(EMENV) cmake --build $(WASMBUILD) -j $(JOBS)
	@for t in $(WASMBUILD)/tests/*_tests.js; do echo "== $$t"; $(NODE_RUN) $$t --gtest_brief=1 || exit 1; done
	@for t in platform/browser/*_test.mjs; do [ -f "$$t" ] || continue; echo "== $$t"; \
	  QUILLBOX_DEVICE=$(CURDIR)/$(WASMBUILD)/device $(NODE_RUN) --test $$t || exit 1; done

bench: build
	cmake --build $(BUILD) -j $(JOBS)
	@for b in $(BUILD)/*_bench; do echo "== $$b"; $$b; done

clean:
	rm -rf $(BUILD) $(TESTBUILD) $(WASMBUILD)

# The repository's C++ files in the style of .clang-format: rewritten, or only checked.
FORMATTED = $(shell git ls-files '*.cpp' '*.h')
format:
	clang-format -i $(FORMATTED)

format-check:
	@clang-format --dry-run --Werror $(FORMATTED) || { echo "unformatted C++: run make format" >&2; exit 1; }

# Test lines against code lines.
ratio:
	@sh tools/line_ratio.sh
