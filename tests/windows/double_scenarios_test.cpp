// SPDX-License-Identifier: MIT
// camera-probe.exe as built, run as a child process against the libusb0.dll
// double (libusb0/) in scripted USB worlds: standard output byte for byte,
// in text mode (each line feed the tool prints arrives as CR LF), the exit
// status as Windows gives it, and nothing on standard error. The faults'
// results are those libusb-win32 gives on its own stack (the windows-stack
// tests measure them there).
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libusb_win32_results.h"
#include "probe_expectations.h"

#ifndef CAMERA_PROBE_EXE
#error "CAMERA_PROBE_EXE must name the built camera-probe.exe"
#endif
#ifndef LIBUSB0_DOUBLE_DIR
#error "LIBUSB0_DOUBLE_DIR must name the folder of the libusb0.dll double"
#endif

namespace {

using expected::healthy_camera;
using expected::kAnnouncement;
using expected::result_line;

struct DoubleScenario {
    const char *name;
    // The double's scenario (libusb0/scenario.cpp).
    const char *setup;
    // Standard output with line feeds.
    std::string expected_output;
    int status = 0;
};

void PrintTo(const DoubleScenario &scenario, std::ostream *out) {
    *out << scenario.name;
}

// Built when the tests are listed, after the expected texts exist.
std::vector<DoubleScenario> scenarios() {
    return {
        // Devices that share only the vendor or only the product ID are not probed.
        {"OneCameraAmongDecoys",
         "bus; device 1d6b:0002; device 05a9:1234; device 046d:2800; bus; device 1d6b:0003; "
         "camera 0x00",
         healthy_camera("00")},
        {"NoCamera", "bus; device 1d6b:0002; bus", ""},
        {"FailedBusScan", "scan -1 1; bus; camera", expected::kNoBuses, -1},
        {"FailedDeviceScan", "scan 0 -5; bus; camera", expected::kNoDevices, -1},
        // The first camera's write does not take, so its last read (0x7e)
        // differs from the value written; the second camera's stalled read
        // still shows it.
        {"StalledReadCarriesTheByteIntoTheSecondCamera",
         "bus; camera; reply 1 0x9a; reply 0; reply 1 0x7e; bus; camera 0x33; reply stall",
         kAnnouncement + result_line(1, "9a") + result_line(1, "7e") + kAnnouncement +
             result_line(libusb_win32::kStalled, "7e") + result_line(1, expected::kWrittenHex)},
        {"UnpluggedCameraThenAHealthyOne",
         "bus; camera; reply gone; reply gone; reply gone; camera 0x07",
         kAnnouncement + result_line(libusb_win32::kGone, expected::kPresetHex) +
             result_line(libusb_win32::kGone, expected::kPresetHex) + healthy_camera("07")},
        {"CameraThatCannotBeOpened", "bus; camera; open-fails; camera 0x07",
         kAnnouncement + expected::kOpenFailed + healthy_camera("07")},
    };
}

// Under Wine the build's Linux paths are on drive Z:.
std::string windows_path(std::string path) {
    if (!path.empty() && path[0] == '/') {
        path = "Z:" + path;
    }
    for (char &c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return path;
}

std::string read_all(HANDLE pipe) {
    std::string text;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(pipe, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        text.append(chunk, got);
    }
    return text;
}

struct ProbeRun {
    std::string output;
    std::string errors;
    DWORD status = 0;
};

struct Pipe {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
};

// The child's end is inherited, ours is not.
Pipe inheritable_pipe() {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    Pipe pipe;
    if (!CreatePipe(&pipe.read, &pipe.write, &inherit, 0) ||
        !SetHandleInformation(pipe.read, HANDLE_FLAG_INHERIT, 0)) {
        ADD_FAILURE() << "CreatePipe failed: " << GetLastError();
    }
    return pipe;
}

// camera-probe.exe with the double's folder first on PATH, so that it
// loads the double as libusb0.dll, and the scenario in its environment.
ProbeRun run_probe(const std::string &setup) {
    static const std::string original_path = [] {
        char path[32767];
        DWORD length = GetEnvironmentVariableA("PATH", path, sizeof path);
        return std::string(path, length < sizeof path ? length : 0);
    }();
    std::string path = windows_path(LIBUSB0_DOUBLE_DIR) + ";" + original_path;
    SetEnvironmentVariableA("PATH", path.c_str());
    SetEnvironmentVariableA("LIBUSB0_DOUBLE_SCENARIO", setup.c_str());

    Pipe out = inheritable_pipe();
    Pipe err = inheritable_pipe();
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out.write;
    startup.hStdError = err.write;
    std::string program = windows_path(CAMERA_PROBE_EXE);
    std::string command_line = "\"" + program + "\"";
    PROCESS_INFORMATION process{};
    ProbeRun run;
    BOOL started = CreateProcessA(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0,
                                  nullptr, nullptr, &startup, &process);
    CloseHandle(out.write);
    CloseHandle(err.write);
    if (!started) {
        ADD_FAILURE() << "cannot start " << program << ": error " << GetLastError();
    } else {
        // The tool writes a few lines at most: neither pipe fills.
        run.output = read_all(out.read);
        run.errors = read_all(err.read);
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &run.status);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(out.read);
    CloseHandle(err.read);
    return run;
}

class DoubleScenarios : public ::testing::TestWithParam<DoubleScenario> {};

TEST_P(DoubleScenarios, ProbeOnTheDouble) {
    const DoubleScenario &scenario = GetParam();
    ProbeRun run = run_probe(scenario.setup);
    EXPECT_EQ(run.output, expected::windows_line_ends(scenario.expected_output));
    // -1 is 0xFFFFFFFF as Windows gives it.
    EXPECT_EQ(run.status, static_cast<DWORD>(scenario.status));
    EXPECT_EQ(run.errors, "");
}

INSTANTIATE_TEST_SUITE_P(Scenarios, DoubleScenarios, ::testing::ValuesIn(scenarios()),
                         [](const ::testing::TestParamInfo<DoubleScenario> &tested) {
                             return std::string(tested.param.name);
                         });

}  // namespace
