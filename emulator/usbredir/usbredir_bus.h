// SPDX-License-Identifier: MIT
// A row of usbredir ports, one Unix socket each, for QEMU's usb-redir
// devices to connect to, served by one thread. Devices are plugged into
// ports and unplugged from them while the guest runs.
#ifndef USB_EMULATOR_USBREDIR_USBREDIR_BUS_H
#define USB_EMULATOR_USBREDIR_USBREDIR_BUS_H

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "usb_device.h"

namespace usb_emulator {

class UsbredirLink;

class UsbredirBus {
  public:
    // Listens on `directory`/usbredir-N.sock for N in [0, ports).
    UsbredirBus(const std::string &directory, std::size_t ports);
    ~UsbredirBus();
    UsbredirBus(const UsbredirBus &) = delete;
    UsbredirBus &operator=(const UsbredirBus &) = delete;

    std::size_t ports() const { return listeners_.size(); }
    std::string socket_path(std::size_t port) const;

    // Puts `devices` on the first ports, in order, and leaves the other
    // ports empty. Takes effect on the bus thread, before it returns.
    void plug(const std::vector<std::shared_ptr<UsbDevice>> &devices);

  private:
    struct Port;

    void serve();
    void run_on_bus(std::function<void()> action);
    void accept_on(Port &port);

    std::vector<int> listeners_;
    std::vector<std::string> paths_;
    std::vector<std::unique_ptr<Port>> port_state_;
    int wake_[2] = {-1, -1};  // the bus thread sleeps in poll() on wake_[0]

    std::mutex mutex_;  // guards actions_ and stopping_
    std::vector<std::function<void()>> actions_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace usb_emulator

#endif
