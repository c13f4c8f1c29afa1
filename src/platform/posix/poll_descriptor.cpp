// Poll descriptors over eventfd: its counter is non-zero (readable) while
// signalled; a clear reads the counter back to zero.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include "platform/poll_descriptor.h"

std::intptr_t OsCreatePollDescriptor() {
    const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return fd < 0 ? OS_NO_DESCRIPTOR : fd;
}

bool OsSignalPollDescriptor(std::intptr_t descriptor) {
    const std::uint64_t one = 1;
    for (;;) {
        const ssize_t n = write(static_cast<int>(descriptor), &one, sizeof one);
        if (n == static_cast<ssize_t>(sizeof one)) {
            return true;
        }
        // EAGAIN: the counter is at its limit, so it is readable already.
        if (n < 0 && errno == EAGAIN) {
            return true;
        }
        if (n < 0 && errno != EINTR) {
            return false;
        }
    }
}

void OsClearPollDescriptor(std::intptr_t descriptor) {
    std::uint64_t count = 0;
    while (read(static_cast<int>(descriptor), &count, sizeof count) < 0 && errno == EINTR) {
    }
}

void OsClosePollDescriptor(std::intptr_t descriptor) {
    if (descriptor >= 0) {
        close(static_cast<int>(descriptor));
    }
}

std::intptr_t OsNativeEventHandle(OsHandle) {
    return OS_NO_DESCRIPTOR;
}
