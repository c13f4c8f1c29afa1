// Helpers shared by the fuzz targets: the invariant failure, the count of the
// descriptors that stand for platform objects, and little-endian reads of input.
#pragma once
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/shm_path.h"

[[noreturn]] inline void Fail(const char* what, std::uint32_t a = 0, std::uint32_t b = 0) {
    std::fprintf(stderr, "INVARIANT BROKEN: %s (%u, %u)\n", what, a, b);
    std::abort();
}

// Descriptors that stand for the platform layer's objects (processes, events,
// files of the object directory, anonymous shared memory); listed on stderr when
// show is set. libFuzzer's own (pipes to the symbolizer, log files) are not
// counted.
inline int CountObjectFds(bool show = false) {
    char objects[512];
    if (!px_shm_dir_path(objects, sizeof objects)) {
        return -1;
    }
    const std::size_t objectsLen = std::strlen(objects);
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    int n = 0;
    while (dirent* entry = readdir(dir)) {
        char path[64];
        char target[768] = {};
        std::snprintf(path, sizeof path, "/proc/self/fd/%s", entry->d_name);
        if (readlink(path, target, sizeof target - 1) <= 0) {
            continue;
        }
        if (std::strncmp(target, "anon_inode:", 11) == 0 ||
            (std::strncmp(target, objects, objectsLen) == 0 && target[objectsLen] == '/') ||
            std::strncmp(target, "/memfd:", 7) == 0) {
            ++n;
            if (show) {
                std::fprintf(stderr, "  fd %s -> %s\n", entry->d_name, target);
            }
        }
    }
    closedir(dir);
    return n;
}

// Fails when the object descriptors open now differ from those open after the
// first run (which sets the baseline): a run that leaks or closes too much.
inline void CheckObjectFdsAgainstBaseline() {
    static int baseline = -1;
    int fds = CountObjectFds();
    if (baseline < 0) {
        baseline = fds;
    } else if (fds != baseline) {
        CountObjectFds(true);
        Fail("object descriptors differ from the start", static_cast<std::uint32_t>(fds),
             static_cast<std::uint32_t>(baseline));
    }
}

inline std::uint32_t ReadU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
