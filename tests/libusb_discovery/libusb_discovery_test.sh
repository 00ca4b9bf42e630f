#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# How the build finds the libusb 0.1 API through pkg-config, each time in a
# build folder of its own with pkg-config limited to one folder of modules
# (FreeBSD's libusb-0.1.pc points at this machine's libusb); each "==" line
# below names a case.
#
#   libusb_discovery_test.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd)
work=$2
rm -rf "$work" && mkdir -p "$work" && work=$(cd "$work" && pwd)

fail() { echo "FAIL: $*" >&2; exit 1; }

# The configure in folder $2 sees the modules of folder $1 alone.
configure() {
  env -u PKG_CONFIG_PATH -u CMAKE_PREFIX_PATH PKG_CONFIG_LIBDIR="$1" \
    cmake -S "$source_dir" -B "$2" "${@:3}" >"$2.log" 2>&1
}

# Log $1 says text $2.
expect_in_log() { grep -qF -- "$2" "$1" || { cat "$1" >&2; fail "$(basename "$1"): no '$2'"; }; }

"$source_dir/tests/platform-stand-ins/freebsd-libusb-pc" "$work/pc-freebsd"
system_pc_dir=$(dirname "$(pkg-config --path libusb)")
mkdir -p "$work/pc-none"

echo "== only libusb-0.1, as on FreeBSD"
configure "$work/pc-freebsd" "$work/freebsd" -DCMAKE_SYSTEM_NAME=FreeBSD \
  -DCMAKE_INSTALL_PREFIX=/usr/local || { cat "$work/freebsd.log" >&2; fail "configure"; }
expect_in_log "$work/freebsd.log" "libusb 0.1 API: pkg-config module libusb-0.1 0.1.0"
cmake --build "$work/freebsd" -j2 --target camera-probe >"$work/freebsd-build.log" 2>&1 ||
  { cat "$work/freebsd-build.log" >&2; fail "camera-probe does not build"; }
needed=$(readelf -d "$work/freebsd/camera-probe" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
# -lusb, as the .pc gives it, is Debian's libusb 0.1.12 here: libusb-0.1.so.4.
echo "$needed" | grep -qx libusb-0.1.so.4 ||
  fail "camera-probe does not link libusb 0.1 (libusb-0.1.so.4); it needs: $needed"
DESTDIR="$work/freebsd-stage" cmake --install "$work/freebsd" >/dev/null
installed=$(cd "$work/freebsd-stage" && find . -type f | sort)
echo "installed:" $installed
expected=$(printf '%s\n' ./usr/local/bin/camera-probe ./usr/local/share/man/man1/camera-probe.1 \
  ./usr/local/share/metainfo/org.example.camera_probe.metainfo.xml \
  ./usr/local/share/doc/camera-probe/libusb.md | sort)
[ "$installed" = "$expected" ] || fail "the install holds: $installed; expected: $expected"
page="$work/freebsd-stage/usr/local/share/man/man1/camera-probe.1"
if grep -nE 'uaccess|udevadm|rules\.d|\(7\)' "$page"; then
  fail "the FreeBSD man page gives udev's advice"
fi
grep -q 'devfs' "$page" || fail "the FreeBSD man page does not say how devfs grants access"
grep -qF '/usr/local/share/doc/camera\-probe/libusb.md' "$page" ||
  fail "the man page does not name the installed libusb.md"

echo "== both modules: libusb first"
configure "$work/pc-freebsd:$system_pc_dir" "$work/both" ||
  { cat "$work/both.log" >&2; fail "configure"; }
expect_in_log "$work/both.log" "libusb 0.1 API: pkg-config module libusb $(pkg-config --modversion libusb)"

echo "== neither module"
if configure "$work/pc-none" "$work/none"; then
  fail "the configure succeeded without libusb 0.1"
fi
for text in "libusb 0.1 not found" "apt-get install libusb-dev" \
  "dnf install libusb-compat-0.1-devel" "zypper install libusb-compat-devel" \
  "pacman -S libusb-compat" "FreeBSD:" "brew install libusb-compat"; do
  expect_in_log "$work/none.log" "$text"
done
echo "libusb discovery: all checks passed"
