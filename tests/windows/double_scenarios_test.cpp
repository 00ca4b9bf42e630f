// SPDX-License-Identifier: MIT
// camera-probe.exe started as Windows starts a program, against the
// libusb0.dll double (libusb0/) in its column's scripted USB worlds: the
// output byte for byte (CR LF), the exit status as Windows gives it, and
// nothing on standard error.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "probe_expectations.h"
#include "scenarios.h"

namespace {

// Under Wine the build's Linux paths are on drive Z:.
std::string windows_path(std::string path) {
    if (!path.empty() && path[0] == '/') {
        path = "Z:" + path;
    }
    std::replace(path.begin(), path.end(), '/', '\\');
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

// The registry's column for the double: each row's script, and what the
// row expects there.
class DoubleScenarios : public ::testing::TestWithParam<registry::Scenario> {
  protected:
    static void SetUpTestSuite() { registry::print_not_run_on(registry::Stack::libusb0_double); }
};

TEST_P(DoubleScenarios, ProbeOnTheDouble) {
    const registry::Scenario &row = GetParam();
    const registry::Result &cell = row.on(registry::Stack::libusb0_double);
    ProbeRun run = run_probe(row.script);
    EXPECT_EQ(run.output, expected::windows_line_ends(registry::expected_output(cell)));
    // -1 is 0xFFFFFFFF as Windows gives it.
    EXPECT_EQ(run.status, static_cast<DWORD>(cell.exit_status));
    EXPECT_EQ(run.errors, "");
}

INSTANTIATE_TEST_SUITE_P(Registry, DoubleScenarios,
                         ::testing::ValuesIn(registry::runs_on(registry::Stack::libusb0_double)),
                         [](const ::testing::TestParamInfo<registry::Scenario> &tested) {
                             return tested.param.name;
                         });

}  // namespace
