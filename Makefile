# `make run` and `make test` set everything up themselves.
PRESET ?= default
BUILD_DIR := build/$(PRESET)

.PHONY: deps configure build run run-hardware test test-sanitize test-vm bench package install format clean

deps:
	@bash scripts/install-deps.sh

configure: deps
	cmake --preset $(PRESET)

# Everything: the programs, the tests and the benchmarks.
build: configure
	cmake --build --preset $(PRESET)

# The window with COM1 and COM2 attached to the virtual device (marlune-device), stopped when the window
# closes. DEVICE_ARGS passes options to the device, ARGS to the window.
run: configure
	cmake --build --preset $(PRESET) --target marlune marlune-device
	DEVICE_ARGS="$(DEVICE_ARGS)" bash scripts/run-with-device.sh $(BUILD_DIR) $(ARGS)

# The window alone, for real hardware: make run-hardware ARGS="--com1 /dev/ttyUSB0"
run-hardware: configure
	cmake --build --preset $(PRESET) --target marlune
	$(BUILD_DIR)/src/app/marlune $(ARGS)

test: build
	QT_QPA_PLATFORM=offscreen ctest --preset $(PRESET)

# The virtual machine rig alone: the program on real serial drivers (tests/vm).
test-vm: build
	ctest --preset $(PRESET) -L vm

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize:
	$(MAKE) test PRESET=sanitize

bench: configure
	cmake --build --preset $(PRESET) --target marlune_bench
	$(BUILD_DIR)/bench/marlune_bench

# A Debian package of what `make install` installs: $(BUILD_DIR)/marlune_VERSION_ARCH.deb
package: configure
	cmake --build --preset $(PRESET) --target marlune_packaged
	cd $(BUILD_DIR) && cpack

install: configure
	cmake --build --preset $(PRESET) --target marlune_packaged
	cmake --install $(BUILD_DIR) --prefix $(or $(PREFIX),/usr/local)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
