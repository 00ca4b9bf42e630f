# Front door over CMake. Every target installs what is missing first.
BUILD_DIR ?= build
CMAKE_FLAGS ?=
PREFIX ?= /usr/local
CTEST_FLAGS ?= --output-on-failure

# Warnings are errors in CI, and the end-to-end tests must run there.
ifeq ($(CI),true)
CMAKE_FLAGS += -DCAMERA_PROBE_WERROR=ON -DCAMERA_PROBE_REQUIRE_E2E=ON
endif

.PHONY: all deps configure build run demo test clean

all: build

deps:
	scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j2

# Probes this machine's USB buses.
run: build
	$(BUILD_DIR)/camera-probe; status=$$?; echo; echo "(exit status $$status)"

# The probe against an emulated camera: no hardware needed.
demo: build
	$(BUILD_DIR)/emulated-camera -- $(BUILD_DIR)/camera-probe; status=$$?; echo; echo "(exit status $$status)"

test: build
	cd $(BUILD_DIR) && ctest $(CTEST_FLAGS)

clean:
	rm -rf $(BUILD_DIR)
