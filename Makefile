# SPDX-License-Identifier: MIT
# Front door over CMake. Every target installs what is missing first.
BUILD_DIR ?= build
SANITIZE_BUILD_DIR ?= build-sanitize
CMAKE_FLAGS ?=
PREFIX ?= /usr/local
CTEST_FLAGS ?= --output-on-failure

# Warnings are errors in CI, and the end-to-end tests, in the QEMU guest
# too, must run there.
ifeq ($(CI),true)
CMAKE_FLAGS += -DCAMERA_PROBE_WERROR=ON -DCAMERA_PROBE_REQUIRE_E2E=ON -DCAMERA_PROBE_REQUIRE_VM=ON
endif

VALGRIND = valgrind --quiet --error-exitcode=99 --leak-check=full \
	--errors-for-leak-kinds=definite --show-leak-kinds=definite \
	--suppressions=$(CURDIR)/tests/valgrind.supp

.PHONY: all deps configure build run demo vm-demo test sanitize-test memcheck lint install \
	package package-check bench guest-image guest-smoke clean

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

# The same camera on the wire, inside a QEMU guest on Debian's own kernel.
vm-demo: guest-image
	$(BUILD_DIR)/emulated-camera --vm -- $(BUILD_DIR)/camera-probe; status=$$?; echo; echo "(exit status $$status)"

# The guest the vm tests boot: Debian's kernel and a base initramfs in
# $(BUILD_DIR)/guest, the downloaded kernel package in $(BUILD_DIR)/guest-cache.
guest-image: build
	cmake --build $(BUILD_DIR) --target guest-image

# Boots that guest once under QEMU and checks what the vm tests rely on.
guest-smoke: guest-image
	scripts/boot-guest-smoke $(BUILD_DIR)

test: guest-image
	cd $(BUILD_DIR) && ctest $(CTEST_FLAGS)

# Every test again, with the tool, the emulator and the tests built with
# AddressSanitizer and UndefinedBehaviorSanitizer.
# The vm tests boot the guest image of $(BUILD_DIR).
sanitize-test: guest-image
	cmake -S . -B $(SANITIZE_BUILD_DIR) -DCMAKE_BUILD_TYPE=Debug -DCAMERA_PROBE_SANITIZE=ON \
		-DCAMERA_PROBE_GUEST_DIR=$(CURDIR)/$(BUILD_DIR)/guest $(CMAKE_FLAGS)
	cmake --build $(SANITIZE_BUILD_DIR) -j2
	cd $(SANITIZE_BUILD_DIR) && ctest $(CTEST_FLAGS)

# The end-to-end scenarios again, with camera-probe under valgrind memcheck:
# any error or definite leak makes its exit status 99 and the test fail.
memcheck: build
	scripts/install-deps valgrind
	cd $(BUILD_DIR) && CAMERA_PROBE_E2E_WRAPPER="$(VALGRIND)" ctest $(CTEST_FLAGS) -L e2e -E Libusb1
	# The lying devices over libusb-compat too (docs/lying-devices.md says
	# why only they: umockdev's preload and a read of 0x00).
	cd $(BUILD_DIR) && CAMERA_PROBE_E2E_WRAPPER="$(VALGRIND)" ctest $(CTEST_FLAGS) -L compat -R LyingDevices

# clang-tidy and cppcheck on the tool's sources; clang-format on every source.
lint: build
	scripts/install-deps clang-tidy cppcheck clang-format groff-base appstream
	scripts/lint $(BUILD_DIR)

# Honours DESTDIR, e.g. make install PREFIX=/usr DESTDIR=/tmp/stage
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# The Debian package (debian/): build/camera-probe_<version>_<arch>.deb.
package:
	scripts/install-deps --package
	scripts/build-package $(BUILD_DIR)

# Installs the package with apt-get, checks it, and removes it (root only).
package-check: package
	scripts/check-package $(BUILD_DIR)

# Reports camera-probe's cost against a bare C walk; never fails on the figures.
bench: build
	scripts/install-deps valgrind time
	$(BUILD_DIR)/bench/camera-probe-bench $(BUILD_DIR)/camera-probe $(BUILD_DIR)/bench/bare-walk

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_BUILD_DIR)

# Windows: cross-compiled with MinGW-w64 into build-windows/, checked under
# Wine against a libusb0.dll test double and on libusb-win32's own DLL and
# driver (docs/windows.md). The libusb-win32 SDK (include/lusb0_usb.h, and
# its sources in source/ for the real stack) comes from LIBUSB_WIN32_SDK.
WINDOWS_BUILD_DIR ?= build-windows
LIBUSB_WIN32_SDK ?= $(firstword $(wildcard $(CURDIR)/../shared/sdk/libusb-win32 \
	/work/shared/sdk/libusb-win32))
# Wine, and what building libusb-win32 and Wine's bus driver from Debian's
# source takes.
WINE_PACKAGES = wine wine64
WINDOWS_STACK_PACKAGES = $(WINE_PACKAGES) g++-mingw-w64-x86-64 wine64-tools libwine-dev \
	dpkg-dev patch debian-archive-keyring
# The windows-stack tests are built in $(BUILD_DIR), beside the emulated
# usbfs they run on; in CI a missing piece fails them instead of skipping.
WINDOWS_STACK_FLAGS = -DCAMERA_PROBE_WINDOWS_STACK=ON \
	-DCAMERA_PROBE_WINDOWS_BUILD_DIR=$(abspath $(WINDOWS_BUILD_DIR))
ifeq ($(CI),true)
WINDOWS_STACK_FLAGS += -DCAMERA_PROBE_REQUIRE_WINDOWS_STACK=ON
endif

.PHONY: windows-build windows-stack windows-check windows-demo package-windows clean-windows

windows-build:
	@test -n "$(LIBUSB_WIN32_SDK)" || { echo "No libusb-win32 SDK in ../shared/sdk or" \
		"/work/shared/sdk: make $@ LIBUSB_WIN32_SDK=<folder with include/lusb0_usb.h>" >&2; \
		exit 1; }
	scripts/install-deps g++-mingw-w64-x86-64 googletest
	scripts/build-windows $(WINDOWS_BUILD_DIR) "$(LIBUSB_WIN32_SDK)"

# libusb0.dll and libusb0.sys from libusb-win32's sources, Wine's bus driver
# patched, a private Wine tree and prefix (in $(WINDOWS_BUILD_DIR)/wine-stack),
# and the runner and the windows-stack tests in $(BUILD_DIR).
windows-stack: CMAKE_FLAGS += $(WINDOWS_STACK_FLAGS)
windows-stack: configure
	scripts/install-deps $(WINDOWS_STACK_PACKAGES)
	scripts/build-windows-stack $(WINDOWS_BUILD_DIR) "$(LIBUSB_WIN32_SDK)"
	cmake --build $(BUILD_DIR) -j2 --target emulated-camera windows_stack_tests

# Unit tests and camera-probe.exe's scenarios on the double under Wine, a
# tool-only build with the default MinGW-w64 compilers, then camera-probe.exe
# on the real stack (CTest label windows-stack). The checks make the Wine
# prefix that the stack's prefix is copied from, so they come first.
windows-check: windows-build
	scripts/install-deps $(WINE_PACKAGES)
	tests/windows/check $(WINDOWS_BUILD_DIR) "$(LIBUSB_WIN32_SDK)"
	$(MAKE) --no-print-directory windows-stack
	cd $(BUILD_DIR) && ctest $(CTEST_FLAGS) -L windows-stack

# camera-probe.exe under Wine on the real stack, an emulated camera attached.
windows-demo: windows-build windows-stack
	$(BUILD_DIR)/emulated-camera --wine -- $(WINDOWS_BUILD_DIR)/camera-probe.exe; \
		status=$$?; echo; echo "(exit status $$status)"

# build-windows/camera-probe-<version>-win64.zip, then its listing.
package-windows: windows-build
	cd $(WINDOWS_BUILD_DIR) && cpack --config CPackConfig-windows.cmake
	cd $(WINDOWS_BUILD_DIR) && cmake -E tar tf camera-probe-*-win64.zip

clean-windows:
	rm -rf $(WINDOWS_BUILD_DIR)

# ARM: camera-probe and its unit tests cross-compiled for Debian's arm64 and
# armhf into build-arm64/ and build-armhf/, against each architecture's
# libusb from Debian's packages, fetched through a private apt configuration
# in $(FOREIGN_APT_DIR) and never installed here. The unit tests run under
# qemu-user (ctest in those folders); the arm label of make test runs them
# and camera-probe of both in an arm64 guest on Debian's arm64 kernel.
ARM64_BUILD_DIR ?= build-arm64
ARMHF_BUILD_DIR ?= build-armhf
FOREIGN_APT_DIR ?= $(BUILD_DIR)/foreign-apt
CMAKE_FLAGS += -DCAMERA_PROBE_ARM64_BUILD_DIR=$(abspath $(ARM64_BUILD_DIR)) \
	-DCAMERA_PROBE_ARMHF_BUILD_DIR=$(abspath $(ARMHF_BUILD_DIR)) \
	-DCAMERA_PROBE_FOREIGN_APT_DIR=$(abspath $(FOREIGN_APT_DIR))
ifeq ($(CI),true)
CMAKE_FLAGS += -DCAMERA_PROBE_REQUIRE_ARM=ON
endif

.PHONY: arm-build package-arm guest-image-arm64 clean-arm

arm-build: deps
	scripts/build-arm arm64 $(ARM64_BUILD_DIR) $(FOREIGN_APT_DIR)
	scripts/build-arm armhf $(ARMHF_BUILD_DIR) $(FOREIGN_APT_DIR)

# $(BUILD_DIR)/camera-probe_<version>_arm64.deb and _armhf.deb, built with
# dpkg-buildpackage -a from the same debian/, then checked: architecture,
# Depends, lintian, hardening.
package-arm:
	scripts/install-deps --package crossbuild-essential-arm64 crossbuild-essential-armhf
	scripts/arm-sysroot arm64 $(ARM64_BUILD_DIR) $(FOREIGN_APT_DIR)
	scripts/arm-sysroot armhf $(ARMHF_BUILD_DIR) $(FOREIGN_APT_DIR)
	scripts/build-package $(BUILD_DIR) arm64 $(ARM64_BUILD_DIR)
	scripts/build-package $(BUILD_DIR) armhf $(ARMHF_BUILD_DIR)
	scripts/check-package $(BUILD_DIR) arm64
	scripts/check-package $(BUILD_DIR) armhf

# The arm64 guest: Debian's arm64 kernel, busybox and the arm64 and armhf
# libraries camera-probe loads, in $(BUILD_DIR)/guest-arm64.
guest-image-arm64: build
	cmake --build $(BUILD_DIR) --target guest-image-arm64

# make test runs the arm label too.
test: arm-build guest-image-arm64

clean-arm:
	rm -rf $(ARM64_BUILD_DIR) $(ARMHF_BUILD_DIR)
