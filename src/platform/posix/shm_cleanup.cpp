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
// name and pages would otherwise stay in /dev/shm until the next creator). Runs
// once per process; objects being created or destroyed now (creation lock held)
// are left alone.
void SweepStale() {
    DIR* dir = opendir("/dev/shm");
    if (dir == nullptr) {
        return;
    }
    while (dirent* entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, "kqvxi.", 6) != 0) {
            continue;
        }
        char posixName[300];
        std::snprintf(posixName, sizeof posixName, "/%s", entry->d_name);
        int fd = shm_open(posixName, O_RDWR | O_CLOEXEC, 0);
        if (fd < 0) {
            continue;  // gone meanwhile, or another user's
        }
        px_shm_unlink_if_unheld(fd, posixName, false);
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
