// What holders of named shared objects leave behind: names whose holders all
// died (swept at a process's first use), and this process's holds, released
// when it exits normally as Win32 closes a process's handles.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/posix/internal.h"

namespace {

// Removes the names of objects whose holders all died without closing them (a
// process killed or ended without closing keeps nothing alive, but its object's
// name and pages would otherwise stay in the object directory until the next
// creator). Runs
// once per process; objects being created or destroyed now (creation lock held)
// are left alone.
void SweepStale() {
    int dirFd = px_shm_dir_fd();
    int listFd = dirFd >= 0 ? openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    DIR* dir = listFd >= 0 ? fdopendir(listFd) : nullptr;
    if (dir == nullptr) {
        if (listFd >= 0) {
            close(listFd);
        }
        return;
    }
    while (dirent* entry = readdir(dir)) {
        char posixName[300];
        if (std::strncmp(entry->d_name, "kqvxi.", 6) != 0 ||
            std::strlen(entry->d_name) + 2 > sizeof posixName) {
            continue;
        }
        std::snprintf(posixName, sizeof posixName, "/%s", entry->d_name);
        int fd = openat(dirFd, entry->d_name, O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            continue;  // gone meanwhile, or not a file we may open
        }
        // Only objects that an open would accept: anything else stays, refused.
        if (px_shm_adopt(fd, false)) {
            px_shm_unlink_if_unheld(fd, posixName, false);
        }
        close(fd);
    }
    closedir(dir);
}

std::once_flag sweepOnce;

// The named objects this process holds, so that a normal exit can let go of them
// as Win32 closes a process's handles when it ends. Guarded by heldLock.
std::mutex heldLock;
PxShm* held[PX_MAX_HANDLES];
std::once_flag exitHookOnce;

// Runs at a normal process exit (not after a kill: then the next process's
// SweepStale removes what is left). Other threads may still run and use their
// mappings, so nothing is unmapped or closed: this process only stops counting
// as a holder, and removes the name when it was the last one.
void ReleaseHeldAtExit() {
    std::lock_guard<std::mutex> guard(heldLock);
    for (PxShm*& shm : held) {
        if (shm == nullptr) {
            continue;
        }
        px_shm_unlock(shm->fd);
        px_shm_unlink_if_unheld(shm->fd, shm->posixName, false);
        px_shm_unlock(shm->fd);
        shm = nullptr;
    }
}

}  // namespace

void px_shm_sweep_stale() {
    std::call_once(sweepOnce, SweepStale);
}

void px_shm_remember(PxShm* shm) {
    std::call_once(exitHookOnce, [] { std::atexit(ReleaseHeldAtExit); });
    std::lock_guard<std::mutex> guard(heldLock);
    for (PxShm*& slot : held) {
        if (slot == nullptr) {
            slot = shm;
            return;
        }
    }
}

void px_shm_forget(PxShm* shm) {
    std::lock_guard<std::mutex> guard(heldLock);
    for (PxShm*& slot : held) {
        if (slot == shm) {
            slot = nullptr;
            return;
        }
    }
}
