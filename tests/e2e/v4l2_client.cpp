// SPDX-License-Identifier: MIT
// v4l2-client: what a video application does to the kernel's webcam
// driver, as far as the driver-cache rows need it, on one video device
// node, in the order given; static, so that the guest needs nothing else.
//   v4l2-client DEVICE ACTION...
//     autogain=0 | autogain=1   VIDIOC_S_CTRL of V4L2_CID_AUTOGAIN
//     streamon                  four memory-mapped buffers queued, STREAMON
//     streamoff                 STREAMOFF, and the buffers freed
// Prints "ACTION ok" for each action done; stops at the first that fails,
// saying why on standard error, with status 1 (2 for bad arguments).
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// vb2 may hold back the driver's start until a few buffers are queued.
constexpr unsigned kBuffers = 4;
int capture = V4L2_BUF_TYPE_VIDEO_CAPTURE;

bool set_autogain(int fd, int value) {
    v4l2_control control{V4L2_CID_AUTOGAIN, value};
    return ::ioctl(fd, VIDIOC_S_CTRL, &control) == 0;
}

bool request_buffers(int fd, unsigned count) {
    v4l2_requestbuffers request{};
    request.count = count;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    return ::ioctl(fd, VIDIOC_REQBUFS, &request) == 0 && (count == 0 || request.count > 0);
}

bool stream_on(int fd) {
    bool done = request_buffers(fd, kBuffers);
    for (unsigned index = 0; done && index < kBuffers; ++index) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = index;
        done = ::ioctl(fd, VIDIOC_QBUF, &buffer) == 0;
    }
    return done && ::ioctl(fd, VIDIOC_STREAMON, &capture) == 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: v4l2-client DEVICE ACTION...\n");
        return 2;
    }
    int fd = ::open(argv[1], O_RDWR);
    if (fd < 0) {
        std::fprintf(stderr, "v4l2-client: %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    for (int index = 2; index < argc; ++index) {
        std::string action = argv[index];
        bool done = false;
        if (action == "autogain=0" || action == "autogain=1") {
            done = set_autogain(fd, action.back() - '0');
        } else if (action == "streamon") {
            done = stream_on(fd);
        } else if (action == "streamoff") {
            done = ::ioctl(fd, VIDIOC_STREAMOFF, &capture) == 0 && request_buffers(fd, 0);
        } else {
            std::fprintf(stderr, "v4l2-client: unknown action %s\n", argv[index]);
            return 2;
        }
        if (!done) {
            std::fprintf(stderr, "v4l2-client: %s: %s\n", argv[index], std::strerror(errno));
            return 1;
        }
        std::printf("%s ok\n", argv[index]);
    }
    ::close(fd);
    return 0;
}
