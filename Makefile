# `make run` and `make test` set everything up themselves.
PRESET ?= default
BUILD_DIR := build/$(PRESET)

.PHONY: deps configure build run test test-sanitize bench install format clean

deps:
	@bash scripts/install-deps.sh

configure: deps
	cmake --preset $(PRESET)

build: configure
	cmake --build --preset $(PRESET)

run: build
	$(BUILD_DIR)/src/app/marlune $(ARGS)

test: build
	QT_QPA_PLATFORM=offscreen ctest --preset $(PRESET)

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize:
	$(MAKE) test PRESET=sanitize

bench: build
	$(BUILD_DIR)/bench/marlune_bench

install: build
	cmake --install $(BUILD_DIR) --prefix $(or $(PREFIX),/usr/local)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
