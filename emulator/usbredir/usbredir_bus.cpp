// SPDX-License-Identifier: MIT
#include "usbredir_bus.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <future>
#include <stdexcept>

#include "process.h"
#include "usbredir_link.h"

namespace usb_emulator {

namespace {

std::runtime_error system_error(const std::string &what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

struct UsbredirBus::Port {
    int listener = -1;
    std::unique_ptr<UsbredirLink> link;
    // What the port should carry, also across QEMU reconnecting.
    std::shared_ptr<UsbDevice> device;
};

UsbredirBus::UsbredirBus(const std::string &directory, std::size_t ports) {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw system_error("pipe");
    }
    try {
        for (std::size_t port = 0; port < ports; ++port) {
            paths_.push_back(directory + "/usbredir-" + std::to_string(port) + ".sock");
            listeners_.push_back(listen_on_unix_socket(paths_.back()));
            port_state_.push_back(std::make_unique<Port>());
            port_state_.back()->listener = listeners_.back();
        }
    } catch (...) {
        for (int listener : listeners_) {
            ::close(listener);
        }
        ::close(wake_[0]);
        ::close(wake_[1]);
        throw;
    }
    thread_ = std::thread([this] { serve(); });
}

UsbredirBus::~UsbredirBus() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    char wake = 1;
    ssize_t ignored = ::write(wake_[1], &wake, 1);
    (void)ignored;
    thread_.join();
    port_state_.clear();
    for (std::size_t port = 0; port < listeners_.size(); ++port) {
        ::close(listeners_[port]);
        ::unlink(paths_[port].c_str());
    }
    ::close(wake_[0]);
    ::close(wake_[1]);
}

std::string UsbredirBus::socket_path(std::size_t port) const {
    return paths_.at(port);
}

void UsbredirBus::plug(const std::vector<std::shared_ptr<UsbDevice>> &devices) {
    if (devices.size() > port_state_.size()) {
        throw std::invalid_argument("more devices than usbredir ports");
    }
    run_on_bus([this, &devices] {
        for (std::size_t index = 0; index < port_state_.size(); ++index) {
            Port &port = *port_state_[index];
            port.device = index < devices.size() ? devices[index] : nullptr;
            if (port.link == nullptr) {
                continue;
            }
            if (port.device != nullptr) {
                port.link->plug(port.device);
            } else {
                port.link->unplug();
            }
        }
    });
}

// Hands `action` to the bus thread and waits until it has run there.
void UsbredirBus::run_on_bus(std::function<void()> action) {
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        actions_.push_back([&action, &done] {
            try {
                action();
                done.set_value();
            } catch (...) {
                done.set_exception(std::current_exception());
            }
        });
    }
    char wake = 1;
    if (::write(wake_[1], &wake, 1) < 0 && errno != EAGAIN) {
        throw system_error("wake the usbredir thread");
    }
    finished.get();
}

void UsbredirBus::accept_on(Port &port) {
    int fd = ::accept4(port.listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        return;
    }
    port.link = std::make_unique<UsbredirLink>(fd);
    if (port.device != nullptr) {
        port.link->plug(port.device);
    }
}

// One poll() over the wake pipe, every listener without a connection and
// every connection; sleeps until one of them has something.
void UsbredirBus::serve() {
    for (;;) {
        std::vector<pollfd> watched = {{wake_[0], POLLIN, 0}};
        for (const auto &port : port_state_) {
            if (port->link == nullptr) {
                watched.push_back({port->listener, POLLIN, 0});
            } else {
                short events = POLLIN;
                if (port->link->has_output()) {
                    events |= POLLOUT;
                }
                watched.push_back({port->link->fd(), events, 0});
            }
        }
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (watched[0].revents != 0) {
            char drained[64];
            while (::read(wake_[0], drained, sizeof drained) > 0) {
            }
            std::vector<std::function<void()>> actions;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stopping_) {
                    return;
                }
                actions.swap(actions_);
            }
            for (auto &action : actions) {
                action();
            }
        }
        for (std::size_t index = 0; index < port_state_.size(); ++index) {
            Port &port = *port_state_[index];
            short revents = watched[index + 1].revents;
            if (port.link == nullptr) {
                if (revents & POLLIN) {
                    accept_on(port);
                }
            } else if ((revents & (POLLIN | POLLHUP | POLLERR)) && !port.link->receive()) {
                port.link.reset();  // QEMU went away; its port takes a new connection
            }
        }
        for (const auto &port : port_state_) {
            if (port->link != nullptr) {
                port->link->send();
            }
        }
    }
}

}  // namespace usb_emulator
