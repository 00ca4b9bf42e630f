// SPDX-License-Identifier: MIT
#include "e2e_support.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <sstream>

namespace e2e {

ProgramRun run_program(UsbfsTestbed &testbed, const std::vector<std::string> &argv) {
    ProgramRun run;
    std::mutex order_mutex;
    testbed.set_transfer_observer([&](const DeviceRef &device, const ControlTransfer &) {
        std::lock_guard<std::mutex> lock(order_mutex);
        if (std::find(run.transfer_order.begin(), run.transfer_order.end(), device) ==
            run.transfer_order.end()) {
            run.transfer_order.push_back(device);
        }
    });
    run.process = usb_emulator::run_in_testbed(testbed.root_dir(), argv);
    testbed.set_transfer_observer(nullptr);
    return run;
}

// CAMERA_PROBE_E2E_WRAPPER, when set, runs camera-probe under another
// program (words split at blanks), as `make memcheck` does with valgrind.
std::vector<std::string> camera_probe_command(const std::vector<std::string> &arguments) {
    std::vector<std::string> argv;
    const char *wrapper = std::getenv("CAMERA_PROBE_E2E_WRAPPER");
    std::istringstream words(wrapper != nullptr ? wrapper : "");
    for (std::string word; words >> word;) {
        argv.push_back(word);
    }
    argv.push_back(CAMERA_PROBE_BINARY);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
}

std::vector<DeviceRef> plug_on_bus(UsbfsTestbed &testbed, int bus, const registry::Scenario &row) {
    for (const registry::Decoy &decoy : row.decoys) {
        testbed.add_device(bus, decoy.vendor_id, decoy.product_id);
    }
    std::vector<DeviceRef> cameras;
    for (const registry::Camera &camera : row.cameras) {
        cameras.push_back(testbed.add_camera(bus, config_of(camera)));
    }
    return cameras;
}

void expect_only_cameras_saw(const UsbfsTestbed &testbed, const std::vector<DeviceRef> &cameras,
                             const std::vector<std::string> &exchange,
                             const std::vector<DeviceRef> &also_probed) {
    for (const DeviceRef &camera : cameras) {
        EXPECT_EQ(transfer_texts(testbed, camera), exchange) << camera.devnode;
    }
    std::vector<std::string> unexpected;
    for (const DeviceRef &device : testbed.devices()) {
        bool probed = std::count(cameras.begin(), cameras.end(), device) +
                          std::count(also_probed.begin(), also_probed.end(), device) >
                      0;
        if (!probed && !testbed.transfers(device).empty()) {
            unexpected.push_back(device.devnode);
        }
    }
    EXPECT_EQ(unexpected, std::vector<std::string>{});
}

std::vector<std::string> transfer_texts(const UsbfsTestbed &testbed, const DeviceRef &device) {
    std::vector<std::string> texts;
    for (const ControlTransfer &transfer : testbed.transfers(device)) {
        texts.push_back(usb_emulator::describe(transfer));
    }
    return texts;
}

}  // namespace e2e
