// Process handles over pidfds (bound to one process, immune to pid reuse),
// spawning with posix_spawn, killing, and the executable's own path.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "platform/fault.h"
#include "platform/posix/internal.h"
#include "platform/process.h"

extern char** environ;

namespace {

// One process handle. spawned marks children started here, whose exit status
// waitid can read; the first reading is kept in exitCode (guarded by lock) since
// reaping the child makes it unreadable afterwards.
struct PxProcess {
    PxObject header;
    int pidfd;
    pid_t pid;
    bool spawned;
    std::mutex lock;
    bool reaped;
    std::uint32_t exitCode;
};

int PidfdOpen(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// True once the process has ended (its pidfd reads as ready).
bool HasEnded(int pidfd, int timeoutMs) {
    pollfd p{pidfd, POLLIN, 0};
    for (;;) {
        int rc = poll(&p, 1, timeoutMs);
        if (rc >= 0) {
            return rc > 0;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

// Exit code from a waitid result: the exit status, or 128 + signal for a
// process ended by a signal (as shells report it).
std::uint32_t CodeOf(const siginfo_t& info) {
    if (info.si_code == CLD_EXITED) {
        return static_cast<std::uint32_t>(info.si_status);
    }
    return 128u + static_cast<std::uint32_t>(info.si_status);
}

void DestroyProcess(PxObject* obj) {
    PxProcess* p = reinterpret_cast<PxProcess*>(obj);
    if (p->spawned && !p->reaped) {
        // Reap an ended child so it does not linger as a zombie.
        siginfo_t info{};
        waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(p->pidfd), &info,
               WEXITED | WNOHANG);
    }
    close(p->pidfd);
    delete p;
}

std::uint32_t WaitProcess(PxObject* obj, std::uint32_t timeoutMs) {
    PxProcess* p = reinterpret_cast<PxProcess*>(obj);
    std::uint64_t deadline = px_now_ms() + (timeoutMs == OS_INFINITE ? 0 : timeoutMs);
    for (;;) {
        std::uint32_t left = px_remaining_ms(deadline, timeoutMs);
        // poll takes an int; wait in slices so OS_INFINITE and long limits fit.
        int slice = left > 1000000u ? 1000000 : static_cast<int>(left);
        if (HasEnded(p->pidfd, slice)) {
            return OS_WAIT_OBJECT_0;
        }
        if (px_remaining_ms(deadline, timeoutMs) == 0) {
            return OS_WAIT_TIMEOUT;
        }
    }
}

constexpr PxKindOps PROCESS_OPS{PX_KIND_PROCESS, DestroyProcess, WaitProcess};

OsHandle Insert(int pidfd, pid_t pid, bool spawned) {
    PxProcess* p = new PxProcess{};
    px_object_init(&p->header, &PROCESS_OPS, 1);
    p->pidfd = pidfd;
    p->pid = pid;
    p->spawned = spawned;
    OsHandle h = px_handle_insert(&p->header);
    if (h == OS_NO_HANDLE) {
        DestroyProcess(&p->header);
    }
    return h;
}

}  // namespace

std::uint32_t OsCurrentProcessId() {
    return static_cast<std::uint32_t>(getpid());
}

OsHandle OsOpenProcess(std::uint32_t pid) {
    if (OsFaultHit(OS_FAULT_OPEN_PROCESS)) {
        errno = EPERM;
        return OS_NO_HANDLE;
    }
    if (pid == 0 || pid > 0x7fffffffu) {
        errno = EINVAL;
        return OS_NO_HANDLE;
    }
    int fd = PidfdOpen(static_cast<pid_t>(pid));
    if (fd < 0) {
        return OS_NO_HANDLE;
    }
    return Insert(fd, static_cast<pid_t>(pid), false);
}

bool OsGetExitCodeProcess(OsHandle process, std::uint32_t* exitCode) {
    PxProcess* p = reinterpret_cast<PxProcess*>(px_handle_get(process, PX_KIND_PROCESS));
    if (p == nullptr || exitCode == nullptr) {
        if (p != nullptr) {
            px_object_put(&p->header);
        }
        return false;
    }
    if (!HasEnded(p->pidfd, 0)) {
        *exitCode = OS_STILL_ACTIVE;
    } else {
        std::lock_guard<std::mutex> guard(p->lock);
        if (!p->reaped) {
            // Any child of ours (opened by pid or spawned) can tell its status; the
            // spawned handle reaps it, other handles only peek.
            siginfo_t info{};
            int flags = WEXITED | WNOHANG | (p->spawned ? 0 : WNOWAIT);
            if (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(p->pidfd), &info, flags) ==
                    0 &&
                info.si_pid != 0) {
                p->exitCode = CodeOf(info);
                p->reaped = p->spawned;
            } else {
                p->exitCode = 0;  // not our child: the code cannot be known
                p->reaped = p->spawned;
            }
        }
        *exitCode = p->exitCode;
    }
    px_object_put(&p->header);
    return true;
}

OsHandle OsSpawnProcess(const char* exe, const char* const* args, std::uint32_t* pid) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(exe));
    for (const char* const* a = args; a != nullptr && *a != nullptr; ++a) {
        argv.push_back(const_cast<char*>(*a));
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    int rc = posix_spawn(&child, exe, nullptr, nullptr, argv.data(), environ);
    if (rc != 0) {
        errno = rc;
        return OS_NO_HANDLE;
    }
    // The child cannot be reaped by anyone but us, so its pid is still its own here.
    int fd = PidfdOpen(child);
    if (fd < 0) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        return OS_NO_HANDLE;
    }
    OsHandle h = Insert(fd, child, true);
    if (pid != nullptr) {
        *pid = static_cast<std::uint32_t>(child);
    }
    return h;
}

bool OsKillProcess(OsHandle process) {
    PxProcess* p = reinterpret_cast<PxProcess*>(px_handle_get(process, PX_KIND_PROCESS));
    if (p == nullptr) {
        return false;
    }
    bool ok = syscall(SYS_pidfd_send_signal, p->pidfd, SIGKILL, nullptr, 0) == 0;
    px_object_put(&p->header);
    return ok;
}

bool OsSelfExePath(char* buf, std::uint32_t size) {
    if (buf == nullptr || size == 0) {
        return false;
    }
    ssize_t n = readlink("/proc/self/exe", buf, size);
    if (n < 0 || static_cast<std::uint32_t>(n) >= size) {
        return false;
    }
    buf[n] = 0;
    return true;
}
