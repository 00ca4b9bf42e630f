# SPDX-License-Identifier: MIT
# camera-probe for Homebrew on macOS. Homebrew installs formulae from taps
# only, and the source tarball is made from the checkout into /tmp:
# docs/platforms.md has the commands.
class CameraProbe < Formula
  desc "Find 05a9:2800 USB cameras and run a register exchange with each"
  homepage "https://example.org/camera-probe"
  # Made by scripts/make-dist /tmp: no release is published, and it changes
  # with the checkout, so no checksum of it is kept.
  url "file:///tmp/camera-probe-1.0.0.tar.gz"
  license "MIT"

  depends_on "cmake" => :build
  depends_on "pkgconf" => :build
  depends_on "libusb-compat"
  # Linux's packages carry the udev rule the tool needs there.
  depends_on :macos

  def install
    system "cmake", "-S", ".", "-B", "build", *std_cmake_args
    system "cmake", "--build", "build"
    system "cmake", "--install", "build"
  end

  test do
    # With no camera libusb-compat lists no device and prints nothing; a
    # machine whose USB cannot be scanned gets one of the two messages and
    # 255; a connected camera is announced.
    output = shell_output("#{bin}/camera-probe; echo \" (exit status $?)\"")
    no_camera = [
      " (exit status 0)",
      "No hi ha busos USB (exit status 255)",
      "No hi ha dispositius connectats als busos (exit status 255)",
    ]
    camera = /\A-----> Camara TROBADA!! idVendor 05A9 - idProduct 2800.* \(exit status 0\)\z/m
    assert no_camera.include?(output.chomp) || output.chomp.match?(camera),
           "camera-probe printed: #{output}"
  end
end
