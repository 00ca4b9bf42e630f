// SPDX-License-Identifier: MIT
// The emulated devices under Windows' own USB stack: a Wine session inside
// a umockdev testbed, in which Wine's bus driver (wineusb.sys, patched)
// finds the devices through libusb-1.0, libusb-win32's driver (libusb0.sys)
// binds the cameras, and a Windows program reaches them through libusb0.dll.
// scripts/build-windows-stack builds the pieces (the "stack").
#ifndef USB_EMULATOR_WINE_WINE_SESSION_H
#define USB_EMULATOR_WINE_WINE_SESSION_H

#include <chrono>
#include <string>
#include <vector>

#include "process.h"

namespace usb_emulator {

// Where the pieces are, under one folder (BUILD/wine-stack).
struct WineStack {
    std::string dir;

    std::string loader() const;                // the private Wine tree's wine64
    std::string server() const;                // its wineserver
    std::string prefix() const;                // the Wine prefix that binds the cameras
    std::string dll_dir() const;               // holds libusb0.dll
    std::string await_cameras() const;         // await-cameras.exe
    std::vector<std::string> missing() const;  // the pieces that are not there

    // CAMERA_PROBE_WINE_STACK when set, else the folder the build names.
    static WineStack from_build();
};

class WineSession {
  public:
    // Waits for any other session of the prefix to end (a lock beside the
    // prefix), then ends what an earlier process left running in it: a
    // session started outside this testbed would not see its devices.
    WineSession(WineStack stack, std::string umockdev_dir);
    ~WineSession();
    WineSession(const WineSession &) = delete;
    WineSession &operator=(const WineSession &) = delete;

    // Starts wineserver and Wine's services inside the testbed and returns
    // once libusb0.sys has started `cameras` cameras; throws when they are
    // not there within `timeout`.
    void start(long cameras, std::chrono::milliseconds timeout);

    // Runs a Windows program in the session (argv[0] a Linux path to it),
    // with libusb0.dll on its DLL path.
    ProcessResult run(const std::vector<std::string> &argv, const ProcessOptions &options) const;

    // Ends every process of the session and waits for wineserver to exit.
    void end();

  private:
    std::vector<std::string> in_session(const std::vector<std::string> &argv) const;
    std::vector<std::string> server_command(const std::string &option) const;

    WineStack stack_;
    std::string umockdev_dir_;
    int lock_fd_ = -1;
};

}  // namespace usb_emulator

#endif
