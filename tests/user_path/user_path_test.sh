#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The user's path, on a copy of the checkout owned by an ordinary user, run
# as the user would from a shell of their own: none of the caller's make
# variables or environment reaches it. Each "==" line below names a check;
# apt-get and sudo only record what they are asked (or, for the README's
# line, apt-get simulates), and dpkg-query says every package is missing.
#
#   user_path_test.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd)
work=$2
owner=65534:65534 # nobody: anyone but root
# What a user's build of the tool may ask apt for, written here and not read
# from scripts/install-deps, so that a package slipped into its group is seen.
user_build_packages="cmake g++ libusb-dev make pkg-config"
[ "$(id -u)" -eq 0 ] ||
  { echo "user path tests cannot run: they need root, to play a user's checkout and sudo"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$work" && mkdir -p "$work/stubs" "$work/checkout" && work=$(cd "$work" && pwd)
# Nothing is installed; apt-get and sudo record their calls.
printf '#!/bin/sh\nexit 1\n' >"$work/stubs/dpkg-query"
printf '#!/bin/sh\necho "$*${MAKEFLAGS:+ MAKEFLAGS=$MAKEFLAGS}" >>"%s/apt-calls"\n' "$work" \
  >"$work/stubs/apt-get"
printf '#!/bin/sh\nexec "$@"\n' >"$work/stubs/sudo"
chmod +x "$work/stubs/"*
: >"$work/apt-calls"

# The sources alone: no build folder, whatever its name.
tar -C "$source_dir" --exclude='./build*' --exclude=./.git --exclude-tag-all=CMakeCache.txt \
  -cf - . | tar -C "$work/checkout" -xf -
chown -R "$owner" "$work/checkout"

# A make of our own, in an environment of its own: not the jobs of the make
# that may be running ctest (MAKEFLAGS), nor the variables given to it,
# which reach the environment of its recipes and so of this test.
mkdir -p "$work/home"
run_make() { env -i PATH="$work/stubs:$PATH" HOME="$work/home" make -C "$work/checkout" \
  --no-print-directory "$@"; }

echo "== a bare make on a machine with nothing installed"
if run_make HOST_ARCH=amd64 >"$work/bare.log" 2>&1; then fail "a bare make built with nothing installed"; fi
[ ! -s "$work/apt-calls" ] || fail "a bare make ran apt-get: $(cat "$work/apt-calls")"
grep -q "^Not installed: .*libusb-dev" "$work/bare.log" && grep -q "scripts/install-deps build" \
  "$work/bare.log" || fail "a bare make does not say what to install and how: $(cat "$work/bare.log")"

echo "== make run, make build, make install on a machine with nothing installed"
run_make -w -s run HOST_ARCH=amd64 >"$work/run.log" 2>&1 || { cat "$work/run.log"; fail "make run"; }
[ -x "$work/checkout/build/camera-probe" ] || fail "make run built no camera-probe"
[ ! -e "$work/checkout/build/emulated-camera" ] || fail "make run built the emulator"
[ ! -d "$work/checkout/build/tests" ] || fail "make run configured the tests"
run_make build HOST_ARCH=amd64 >>"$work/run.log" 2>&1 || { cat "$work/run.log"; fail "make build"; }
run_make install HOST_ARCH=amd64 PREFIX=/usr DESTDIR="$work/stage" >>"$work/run.log" 2>&1 ||
  { cat "$work/run.log"; fail "make install"; }
[ -x "$work/stage/usr/bin/camera-probe" ] || fail "make install installed no camera-probe"
[ -f "$work/stage/usr/share/man/man1/camera-probe.1" ] || fail "make install installed no man page"

other_calls=$(grep -Ev ' update -qq$| install -y .*--no-install-recommends ' "$work/apt-calls" || true)
[ -z "$other_calls" ] || fail "the user's path ran apt-get for more than updating and installing: $other_calls"
asked=$(sed -n 's/.* install -y .*--no-install-recommends //p' "$work/apt-calls" | tr ' ' '\n' |
  LC_ALL=C sort -u | paste -sd ' ')
[ -n "$asked" ] || fail "apt was asked for nothing: the stubs were not used"
echo "apt was asked for: $asked"
[ "$asked" = "$user_build_packages" ] ||
  fail "the user's path asked apt for $asked, not for all of $user_build_packages"

echo "== make install as root leaves the build folder to the checkout's owner"
not_owned=$(find "$work/checkout/build" ! -user "${owner%%:*}" -print -quit)
[ -z "$not_owned" ] || fail "a file in the build folder that is not the owner's: $not_owned"
grep -q "install_manifest.txt" <(ls "$work/checkout/build") || fail "no install manifest to check"

echo "== an ARM host: no guests, no cross builds"
: >"$work/apt-calls"
plan=$(run_make -n test HOST_ARCH=arm64)
echo "$plan" | grep -q "install-deps build unit usbfs$" || fail "make test on arm64 does not install the test groups: $plan"
echo "$plan" | grep -E "target guest-image|scripts/build-arm |install-deps.* (vm|arm|guest)( |$)" &&
  fail "make test on arm64 plans the guests or the cross builds"
for target in arm-build package-arm guest-image windows-build; do
  run_make "$target" HOST_ARCH=arm64 >"$work/arm.log" 2>&1 && fail "make $target ran on an arm64 host"
  grep -q "needs an amd64 host" "$work/arm.log" || fail "make $target on arm64 says: $(cat "$work/arm.log")"
done
[ ! -s "$work/apt-calls" ] || fail "the amd64-only targets asked apt on arm64: $(cat "$work/apt-calls")"
echo "== a user with neither root nor sudo is told how to install what is missing"
mkdir -p "$work/no-sudo"
for tool in bash dirname id grep; do ln -sf "$(command -v "$tool")" "$work/no-sudo/$tool"; done
cp "$work/stubs/dpkg-query" "$work/stubs/apt-get" "$work/no-sudo/"
if told=$(runuser -u nobody -- env -i PATH="$work/no-sudo" "$work/checkout/scripts/install-deps" build 2>&1); then
  fail "install-deps without root or sudo succeeded: $told"
fi
grep -qF "there is no sudo here: run  su -c 'apt-get install cmake g++ make" <<<"$told" ||
  fail "install-deps without sudo says: $told"
echo "== the README's line that installs git and make, typed as written (apt simulating)"
line=$(sed -n '/^## Get it and run it/,/^## /{/^sudo apt-get install /p}' "$source_dir/README.md")
[ -n "$line" ] || fail "README.md's section Get it and run it has no 'sudo apt-get install' line"
# Its comment gives the same command for root without sudo.
[ "sudo ${line#*as root: }" = "$(echo ${line%%#*})" ] || fail "the line's root variant differs: $line"
# Without package lists (a root made without them) apt knows only what is
# installed: a package it does not know would prove nothing there.
lists=$(apt-get indextargets --format '$(FILENAME)' 'Identifier: Packages' | xargs -r ls 2>/dev/null || true)
if [ -z "$lists" ]; then
  echo "apt has no package lists here: the line is typed where it has them"
else
  mkdir -p "$work/readme" && cp "$work/stubs/sudo" "$work/readme/"
  printf '#!/bin/sh\nexec %s --simulate "$@"\n' "$(command -v apt-get)" >"$work/readme/apt-get"
  chmod +x "$work/readme/apt-get"
  env -i PATH="$work/readme:$PATH" sh -c "$line" </dev/null >"$work/readme.log" 2>&1 ||
    fail "README.md's line '$line' fails: $(cat "$work/readme.log")"
fi
echo "user path: all checks passed"
