# SPDX-License-Identifier: MIT
# Front door over CMake. Each target installs the groups of Debian packages
# it uses (scripts/install-deps) and builds what it runs: the user's path
# (build, run, install) needs the tool's build dependencies alone; the
# emulator, the tests and the rest of the proving rig come with the targets
# that use them. make help lists the targets.
BUILD_DIR ?= build
SANITIZE_BUILD_DIR ?= build-sanitize
CMAKE_FLAGS ?=
PREFIX ?= /usr/local
CTEST_FLAGS ?= --output-on-failure
# As many tests at once as the machine has cores, the QEMU guests included
# (each boots one virtual CPU); tests/CMakeLists.txt locks what tests share.
CTEST_JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CTEST = ctest $(CTEST_FLAGS) -j$(CTEST_JOBS)
# Debian's name for this machine's architecture: the QEMU guests and the
# cross builds are checks of an amd64 host (docs/arm.md).
HOST_ARCH ?= $(shell dpkg --print-architecture 2>/dev/null || uname -m)

# In CI warnings are errors, and a check whose pieces are missing fails
# instead of reporting itself skipped.
ifeq ($(CI),true)
CMAKE_FLAGS += -DCAMERA_PROBE_WERROR=ON -DCAMERA_PROBE_REQUIRE_CHECKS=ON
# The Debian package's own compile too (debian/rules).
export DEB_BUILD_OPTIONS := $(strip $(DEB_BUILD_OPTIONS) werror)
endif

# The caller's make flags (make -w, make -s, make -j4, ...) are this make's
# own: they do not reach what the recipes start (CMake's builds,
# dpkg-buildpackage and debian/rules, the scripts, ctest and the tests),
# whose makes would print or behave otherwise with them. The one recursion
# below hands them on by hand.
unexport MAKEFLAGS MFLAGS

# Installs a target's package groups (scripts/install-deps); a bare make
# only checks them.
INSTALL_DEPS = scripts/install-deps

CONFIGURE = cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-DCMAKE_INSTALL_PREFIX=$(PREFIX)

# ARM: camera-probe and its unit tests cross-compiled for Debian's arm64 and
# armhf into build-arm64/ and build-armhf/, against each architecture's
# libusb from Debian's packages, downloaded and never installed here
# (docs/arm.md).
ARM64_BUILD_DIR ?= build-arm64
ARMHF_BUILD_DIR ?= build-armhf

# What the tests add to a build of the tool alone, and the package groups
# they use on this host.
TEST_CMAKE_FLAGS = -DBUILD_TESTING=ON -DCAMERA_PROBE_EMULATOR=ON \
	-DCAMERA_PROBE_ARM64_BUILD_DIR=$(abspath $(ARM64_BUILD_DIR)) \
	-DCAMERA_PROBE_ARMHF_BUILD_DIR=$(abspath $(ARMHF_BUILD_DIR))
ifeq ($(HOST_ARCH),amd64)
TEST_GROUPS = build unit usbfs vm guest arm system
# The system label installs the .deb of make package in the system guest.
GUEST_IMAGES = guest-image arm-build guest-image-arm64 system-images package
else
TEST_GROUPS = build unit usbfs
GUEST_IMAGES =
endif

VALGRIND = valgrind --quiet --error-exitcode=99 --leak-check=full \
	--errors-for-leak-kinds=definite --show-leak-kinds=definite \
	--suppressions=$(CURDIR)/tests/valgrind.supp

.PHONY: all help configure build run install configure-emulator configure-tests build-tests \
	demo vm-demo guest-image system-image check test sanitize-test memcheck doc-tables lint \
	package package-check autopkgtest bench clean distclean amd64-host-only

# A bare make builds the tool as make build does, but installs nothing: it
# runs no apt-get, and no sudo, that the user did not ask for. A missing
# build dependency is named, with the command that installs it.
all: INSTALL_DEPS = scripts/install-deps --check
all: build

help:
	@echo 'Using camera-probe:'
	@echo '  make                 build build/camera-probe; installs nothing, names what is missing'
	@echo '  make build           the same, installing the build dependencies first (apt-get)'
	@echo '  make run             build, then probe this machine'"'"'s USB buses'
	@echo '  make install         install the tool, its page and rule (PREFIX, DESTDIR)'
	@echo '  make package         build/camera-probe_<version>_<arch>.deb'
	@echo '  make demo            camera-probe against an emulated camera, no hardware needed'
	@echo 'Working on it (docs/testing.md):'
	@echo '  make check           the unit, e2e and compat tests: what a change is tested with'
	@echo '  make test            every test, the QEMU guests and the package'"'"'s included (root)'
	@echo '  make sanitize-test   the tests again under ASan and UBSan'
	@echo '  make memcheck        the end-to-end scenarios under valgrind'
	@echo '  make lint            clang-tidy, cppcheck, clang-format, the page, the AppStream data'
	@echo '  make package-check   lintian, then the .deb installed, run and purged (root)'
	@echo '  make autopkgtest     the package'"'"'s autopkgtests on this host (root)'
	@echo '  make bench           camera-probe'"'"'s cost against a bare C walk'
	@echo '  make vm-demo         the demo in a QEMU guest on Debian'"'"'s kernel'
	@echo '  make doc-tables      the documents'"'"' tables, made again from the scenario registry'
	@echo '  make package-arm     the arm64 and armhf packages (docs/arm.md)'
	@echo '  make windows-check   the Windows build under Wine (docs/windows.md)'
	@echo '  make platform-check  the RPM, Arch, FreeBSD and Homebrew packaging (docs/platforms.md)'
	@echo '  make clean           remove the build folders; make distclean the download cache too'

# The user's path: CMake, a C++ compiler, pkg-config and libusb-dev, and the
# tool alone. A folder the tests were configured in keeps them; only the
# tool is built here all the same.
configure:
	$(INSTALL_DEPS) build
	$(CONFIGURE) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j2 --target camera-probe

# Probes this machine's USB buses.
run: build
	$(BUILD_DIR)/camera-probe; status=$$?; echo; echo "(exit status $$status)"

# Honours DESTDIR, e.g. make install PREFIX=/usr DESTDIR=/tmp/stage. Run as
# root (sudo make install), it then hands whatever it made or changed in the
# build folder (CMake's install_manifest.txt, a configure or a build it had
# to do) back to the owner of the checkout, so that the user's next build
# finds no files it cannot overwrite.
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix $(PREFIX)
	@if [ "$$(id -u)" -eq 0 ]; then chown -R "$$(stat -c %u:%g .)" $(BUILD_DIR); fi

# The emulator beside the tool: the demo and the guest images.
configure-emulator:
	scripts/install-deps build usbfs
	$(CONFIGURE) -DCAMERA_PROBE_EMULATOR=ON $(CMAKE_FLAGS)

configure-tests:
	scripts/install-deps $(TEST_GROUPS)
	$(CONFIGURE) $(TEST_CMAKE_FLAGS) $(CMAKE_FLAGS)

build-tests: configure-tests
	cmake --build $(BUILD_DIR) -j2

# The probe against an emulated camera: no hardware needed.
demo: configure-emulator
	cmake --build $(BUILD_DIR) -j2 --target camera-probe emulated-camera
	$(BUILD_DIR)/emulated-camera -- $(BUILD_DIR)/camera-probe; status=$$?; echo; echo "(exit status $$status)"

# The same camera on the wire, inside a QEMU guest on Debian's own kernel.
vm-demo: guest-image
	cmake --build $(BUILD_DIR) -j2 --target camera-probe emulated-camera
	$(BUILD_DIR)/emulated-camera --vm -- $(BUILD_DIR)/camera-probe; status=$$?; echo; echo "(exit status $$status)"

# The guest the vm tests boot: Debian's kernel and a base initramfs in
# $(BUILD_DIR)/guest.
guest-image: amd64-host-only configure-emulator
	scripts/install-deps vm guest
	cmake --build $(BUILD_DIR) --target guest-image

# The system guest of a Debian release (trixie, the default; bookworm;
# forky): a root file system from Debian's archive (mmdebstrap) as an ext4
# image in $(BUILD_DIR)/system-guest/RELEASE, on the release's kernel; its
# downloads stay in the download cache (docs/testing.md). system-images
# builds the three the system label boots.
RELEASE ?= trixie
system-image: amd64-host-only configure-emulator
	scripts/install-deps system
	cmake --build $(BUILD_DIR) --target system-image-$(RELEASE)
system-images: amd64-host-only configure-emulator
	scripts/install-deps system
	cmake --build $(BUILD_DIR) --target system-image-trixie system-image-bookworm system-image-forky

# The quick tier, what a change is tested with: the unit, e2e and compat
# labels (the in-memory libusb, and both libusb 0.1 on emulated usbfs). No
# root, no QEMU, no guest image, no cross compiler; the compat label needs
# libusb-compat-0.1's sources in ../shared/sdk (docs/testing.md). It builds
# the programs of those labels alone (the target check-programs, which a
# unit test holds to them).
CHECK_GROUPS = build unit usbfs
check: TEST_GROUPS = $(CHECK_GROUPS)
check: configure-tests
	cmake --build $(BUILD_DIR) -j2 --target check-programs
	cd $(BUILD_DIR) && $(CTEST) -L '^(unit|e2e|compat)$$'

# Every label: unit, e2e, compat and, on an amd64 host, vm, arm and system.
test: build-tests $(GUEST_IMAGES)
	cd $(BUILD_DIR) && $(CTEST)

# Every test again whose programs the sanitizers build changes: the tool,
# the emulator and the tests built with AddressSanitizer and
# UndefinedBehaviorSanitizer. The vm tests boot the guest image of
# $(BUILD_DIR) and run this build's camera-probe in it. Left out are the
# guests that run nothing of this build: the system label (the package's
# camera-probe), the arm label (the cross builds) and vm_guest_smoke (the
# guest's own programs, its host side run again by the vm scenarios).
SANITIZE_SKIPS = -LE '^(system.*|arm)$$' -E '^vm_guest_smoke$$'
sanitize-test: build-tests $(filter guest-image,$(GUEST_IMAGES))
	cmake -S . -B $(SANITIZE_BUILD_DIR) -DCMAKE_BUILD_TYPE=Debug -DCAMERA_PROBE_SANITIZE=ON \
		-DCAMERA_PROBE_GUEST_DIR=$(abspath $(BUILD_DIR))/guest $(TEST_CMAKE_FLAGS) $(CMAKE_FLAGS)
	cmake --build $(SANITIZE_BUILD_DIR) -j2
	cd $(SANITIZE_BUILD_DIR) && $(CTEST) $(SANITIZE_SKIPS)

# The end-to-end scenarios again, with camera-probe under valgrind memcheck:
# any error or definite leak makes its exit status 99 and the test fail.
memcheck: build-tests
	scripts/install-deps memcheck
	cd $(BUILD_DIR) && CAMERA_PROBE_E2E_WRAPPER="$(VALGRIND)" $(CTEST) -L e2e -E Libusb1
	# The lying devices over libusb-compat too (docs/lying-devices.md says
	# why only they: umockdev's preload and a read of 0x00).
	cd $(BUILD_DIR) && CAMERA_PROBE_E2E_WRAPPER="$(VALGRIND)" $(CTEST) -L compat -R LyingDevices

# The documents' tables made again from the tests' scenario registry:
# docs/results.md, and the marked tables of README.md, docs/libusb.md and
# docs/lying-devices.md. The unit tests fail while they disagree.
doc-tables: configure-tests
	cmake --build $(BUILD_DIR) --target doc-tables

# clang-tidy and cppcheck on the tool's sources; clang-format on every source.
lint: build
	$(INSTALL_DEPS) lint
	scripts/lint $(BUILD_DIR)

# The Debian package (debian/): build/camera-probe_<version>_<arch>.deb.
# It is made again only when a file it is built from is newer (the tool's
# sources and CMake files, its page, rule and AppStream data, debian/), so
# that make test, package-check and autopkgtest, run one after another as
# CI does, build it once. A change of compiler or of libusb-dev is no file
# here: make clean, or remove the .deb, to build it again after one.
DEB_VERSION := $(shell sed -n '1s/^[^(]*(\([^)]*\)).*/\1/p' debian/changelog)
DEB = $(BUILD_DIR)/camera-probe_$(DEB_VERSION)_$(HOST_ARCH).deb
DEB_INPUTS = CMakeLists.txt docs/libusb.md scripts/build-package \
	$(shell find cmake debian man metainfo src udev -type f)
package: $(DEB)

$(DEB): $(DEB_INPUTS)
	scripts/install-deps package
	scripts/build-package $(BUILD_DIR)

# Installs the package with apt-get, checks it, and removes it (root only).
package-check: package
	scripts/install-deps package
	scripts/check-package $(BUILD_DIR)

# The package's autopkgtests (debian/tests) with Debian's autopkgtest on
# this host, against the .deb of make package, which is purged afterwards.
autopkgtest: package
	scripts/install-deps build usbfs autopkgtest
	scripts/run-autopkgtest $(BUILD_DIR)

# The same checkout built and checked in a Debian 13 root (mmdebstrap): the
# tests with warnings as errors, the unit and e2e labels, make package-check
# with trixie's debhelper and lintian, and trixie's lintian on the .deb of
# make package on this host (root only; docs/testing.md).
.PHONY: trixie-check
trixie-check: package
	scripts/check-in-release trixie $(BUILD_DIR)

# Reports camera-probe's cost against a bare C walk; never fails on the figures.
bench: configure-emulator
	scripts/install-deps bench
	cmake --build $(BUILD_DIR) -j2 --target camera-probe camera-probe-bench bare-walk
	$(BUILD_DIR)/bench/camera-probe-bench $(BUILD_DIR)/camera-probe $(BUILD_DIR)/bench/bare-walk

# What was built goes; what was downloaded (Debian's packages, apt's lists)
# stays in the download cache (docs/testing.md).
clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_BUILD_DIR)

# Every build folder, and the download cache.
distclean: clean clean-arm clean-windows
	bash -c '. scripts/apt-helpers.sh && empty_download_cache'

# The guests and the cross builds run programs built on an amd64 host.
amd64-host-only:
	@if [ "$(HOST_ARCH)" != amd64 ]; then \
		echo "This target needs an amd64 host (this one is $(HOST_ARCH)): docs/arm.md" \
			"says what runs on an ARM machine." >&2; \
		exit 1; \
	fi

# Windows: cross-compiled with MinGW-w64 into build-windows/, checked under
# Wine against a libusb0.dll test double and on libusb-win32's own DLL and
# driver (docs/windows.md). The libusb-win32 SDK (include/lusb0_usb.h, and
# its sources in source/ for the real stack) comes from LIBUSB_WIN32_SDK.
WINDOWS_BUILD_DIR ?= build-windows
LIBUSB_WIN32_SDK ?= $(wildcard $(CURDIR)/../shared/sdk/libusb-win32)
# The windows-stack tests are built in $(BUILD_DIR), beside the emulated
# usbfs they run on.
WINDOWS_STACK_FLAGS = -DCAMERA_PROBE_WINDOWS_STACK=ON \
	-DCAMERA_PROBE_WINDOWS_BUILD_DIR=$(abspath $(WINDOWS_BUILD_DIR))

.PHONY: windows-build windows-stack windows-check windows-demo package-windows clean-windows

windows-build: amd64-host-only
	@test -n "$(LIBUSB_WIN32_SDK)" || { echo "No libusb-win32 SDK in ../shared/sdk:" \
		"make $@ LIBUSB_WIN32_SDK=<folder with include/lusb0_usb.h>" >&2; exit 1; }
	scripts/install-deps build windows
	scripts/build-windows $(WINDOWS_BUILD_DIR) "$(LIBUSB_WIN32_SDK)"

# libusb0.dll and libusb0.sys from libusb-win32's sources, Wine's bus driver
# patched, a private Wine tree and prefix (in $(WINDOWS_BUILD_DIR)/wine-stack),
# and the runner and the windows-stack tests in $(BUILD_DIR).
windows-stack: CMAKE_FLAGS += $(WINDOWS_STACK_FLAGS)
windows-stack: amd64-host-only configure-tests
	scripts/install-deps windows-stack
	scripts/build-windows-stack $(WINDOWS_BUILD_DIR) "$(LIBUSB_WIN32_SDK)"
	cmake --build $(BUILD_DIR) -j2 --target emulated-camera windows_stack_tests

# Unit tests and camera-probe.exe's scenarios on the double under Wine, a
# tool-only build with the default MinGW-w64 compilers, then camera-probe.exe
# on the real stack (CTest label windows-stack).
windows-check: windows-build
	tests/windows/check $(WINDOWS_BUILD_DIR) "$(LIBUSB_WIN32_SDK)"
	MAKEFLAGS='$(MAKEFLAGS)' $(MAKE) --no-print-directory windows-stack
	cd $(BUILD_DIR) && $(CTEST) -L windows-stack

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

# The unit tests of the cross builds run under qemu-user (ctest in those
# folders); the arm label of make test runs them and camera-probe of both in
# an arm64 guest on Debian's arm64 kernel.
.PHONY: arm-build package-arm guest-image-arm64 clean-arm

arm-build: amd64-host-only
	scripts/install-deps build unit arm
	scripts/build-arm arm64 $(ARM64_BUILD_DIR)
	scripts/build-arm armhf $(ARMHF_BUILD_DIR)

# $(BUILD_DIR)/camera-probe_<version>_arm64.deb and _armhf.deb, built with
# dpkg-buildpackage -a from the same debian/, then checked: architecture,
# Depends, lintian, hardening.
package-arm: amd64-host-only
	scripts/install-deps package package-arm
	scripts/arm-sysroot arm64 $(ARM64_BUILD_DIR)
	scripts/arm-sysroot armhf $(ARMHF_BUILD_DIR)
	scripts/build-package $(BUILD_DIR) arm64 $(ARM64_BUILD_DIR)
	scripts/build-package $(BUILD_DIR) armhf $(ARMHF_BUILD_DIR)
	scripts/check-package $(BUILD_DIR) arm64
	scripts/check-package $(BUILD_DIR) armhf

# The arm64 guest: Debian's arm64 kernel, busybox and the arm64 and armhf
# libraries camera-probe loads, in $(BUILD_DIR)/guest-arm64.
guest-image-arm64: amd64-host-only configure-tests
	scripts/install-deps arm guest
	cmake --build $(BUILD_DIR) --target guest-image-arm64

clean-arm:
	rm -rf $(ARM64_BUILD_DIR) $(ARMHF_BUILD_DIR)

# The other platforms' packages (packaging/) are built from a source tarball
# of the checkout: make dist writes $(BUILD_DIR)/camera-probe-<version>.tar.gz.
# make platform-check builds the RPM and the Arch package from it and checks
# them, and reads and runs the FreeBSD port and the Homebrew formula with
# stand-ins for their platforms (docs/platforms.md), in $(BUILD_DIR)/platforms.
.PHONY: dist platform-check

dist:
	scripts/make-dist $(BUILD_DIR)

platform-check:
	scripts/install-deps platforms udev-rules
	scripts/check-platform-packages $(BUILD_DIR)/platforms
