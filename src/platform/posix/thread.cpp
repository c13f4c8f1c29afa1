// Threads over detached pthreads: creation with the new thread's id, time-critical
// priority (SCHED_FIFO), ending the calling thread with a code, and a handle that
// waits until the thread has ended and keeps its exit code.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <mutex>

#include "platform/atomic.h"
#include "platform/fault.h"
#include "platform/posix/internal.h"
#include "platform/process.h"
#include "platform/thread.h"

namespace {

// One thread. refs counts the handles plus one for the running thread itself,
// so the record outlives whichever of the two lets go last. ended is a futex
// word, 0 while running and 1 once the thread is done; exitCode is written
// before ended is set. lock orders ended against priority changes, which act on
// tid only while the thread still runs.
//
// The thread sets ended just before it leaves, but the kernel marks the robust
// mutexes it still holds as abandoned only as it takes the thread down. A
// thread pidfd (Linux 6.9 and later) becomes readable after that, so a wait on
// the handle that also waits for it guarantees, as on Win32, that a mutex the
// thread held reads as abandoned once the wait returns. Without thread pidfds
// pidfd is -1 and the wait ends with ended alone.
struct PxThread {
    PxObject header;
    OsThreadProc proc;
    void* parameter;
    std::uint32_t tid;      // futex word: 0 until the thread has stored its id
    std::uint32_t watched;  // futex word: 1 once the creator has opened pidfd
    int pidfd;
    std::uint32_t ended;
    std::uint32_t exitCode;
    std::mutex lock;
};

// PIDFD_THREAD: a pidfd for one thread rather than its whole process.
constexpr unsigned PX_PIDFD_THREAD = O_EXCL;

// True once the kernel has taken the thread down (or when that cannot be known).
bool KernelDone(const PxThread* t, int timeoutMs) {
    if (t->pidfd < 0) {
        return true;
    }
    pollfd p{t->pidfd, POLLIN, 0};
    int rc = poll(&p, 1, timeoutMs);
    return rc != 0;
}

// The record of the calling thread when OsCreateThread started it.
thread_local PxThread* currentThread = nullptr;

void Finish(PxThread* t, std::uint32_t code) {
    {
        std::lock_guard<std::mutex> guard(t->lock);
        t->exitCode = code;
        OsAtomicStoreSeqCst(&t->ended, 1u);
    }
    px_futex_wake(&t->ended, INT_MAX);
    currentThread = nullptr;
    px_object_put(&t->header);
}

void* Trampoline(void* arg) {
    PxThread* t = static_cast<PxThread*>(arg);
    currentThread = t;
    OsAtomicStoreSeqCst(&t->tid, px_self_tid());
    px_futex_wake(&t->tid, INT_MAX);
    // Run only once the creator watches this thread, so its id cannot be reused
    // by another thread before the pidfd is bound to it.
    while (OsAtomicLoadSeqCst(&t->watched) == 0) {
        px_futex_wait(&t->watched, 0, 100);
    }
    Finish(t, t->proc(t->parameter));
    return nullptr;
}

void DestroyThread(PxObject* obj) {
    PxThread* t = reinterpret_cast<PxThread*>(obj);
    if (t->pidfd >= 0) {
        close(t->pidfd);
    }
    delete t;
}

std::uint32_t WaitThread(PxObject* obj, std::uint32_t timeoutMs) {
    PxThread* t = reinterpret_cast<PxThread*>(obj);
    std::uint64_t deadline = px_now_ms() + (timeoutMs == OS_INFINITE ? 0 : timeoutMs);
    while (OsAtomicLoadSeqCst(&t->ended) == 0) {
        std::uint32_t left = px_remaining_ms(deadline, timeoutMs);
        if (left == 0) {
            return OS_WAIT_TIMEOUT;
        }
        px_futex_wait(&t->ended, 0, left);
    }
    for (;;) {
        std::uint32_t left = px_remaining_ms(deadline, timeoutMs);
        // The thread has finished its code; what is left of its exit is short.
        if (KernelDone(t, left > 1000000u ? 1000000 : static_cast<int>(left))) {
            return OS_WAIT_OBJECT_0;
        }
        if (px_remaining_ms(deadline, timeoutMs) == 0) {
            return OS_WAIT_TIMEOUT;
        }
    }
}

constexpr PxKindOps THREAD_OPS{PX_KIND_THREAD, DestroyThread, WaitThread};

}  // namespace

OsHandle OsCreateThread(OsThreadProc proc, void* parameter, std::uint32_t* threadId) {
    if (OsFaultHit(OS_FAULT_CREATE_THREAD)) {
        errno = EAGAIN;
        return OS_NO_HANDLE;
    }
    if (proc == nullptr) {
        errno = EINVAL;
        return OS_NO_HANDLE;
    }
    PxThread* t = new PxThread{};
    px_object_init(&t->header, &THREAD_OPS, 2);  // the handle and the running thread
    t->proc = proc;
    t->parameter = parameter;
    t->pidfd = -1;
    OsHandle h = px_handle_insert(&t->header);
    if (h == OS_NO_HANDLE) {
        delete t;
        return OS_NO_HANDLE;
    }
    pthread_t pt{};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = pthread_create(&pt, &attr, Trampoline, t);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        OsAtomicFetchSub(&t->header.refs, 1);  // the thread never ran
        OsCloseHandle(h);
        errno = rc;
        return OS_NO_HANDLE;
    }
    // Win32 hands back the id at once; wait the moment the thread needs to store it.
    while (OsAtomicLoadSeqCst(&t->tid) == 0) {
        px_futex_wait(&t->tid, 0, 100);
    }
    t->pidfd =
        static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(t->tid), PX_PIDFD_THREAD));
    OsAtomicStoreSeqCst(&t->watched, 1u);
    px_futex_wake(&t->watched, INT_MAX);
    if (threadId != nullptr) {
        *threadId = t->tid;
    }
    return h;
}

bool OsSetThreadTimeCritical(OsHandle thread) {
    PxThread* t = reinterpret_cast<PxThread*>(px_handle_get(thread, PX_KIND_THREAD));
    if (t == nullptr) {
        return false;
    }
    bool ok = false;
    {
        std::lock_guard<std::mutex> guard(t->lock);
        if (OsAtomicLoadRelaxed(&t->ended) == 0) {
            sched_param param{};
            param.sched_priority = sched_get_priority_max(SCHED_FIFO);
            // Without real-time rights the kernel refuses with EPERM: reported, not fatal.
            ok = sched_setscheduler(static_cast<pid_t>(t->tid), SCHED_FIFO, &param) == 0;
        } else {
            errno = ESRCH;
        }
    }
    px_object_put(&t->header);
    return ok;
}

void OsExitThread(std::uint32_t exitCode) {
    if (currentThread != nullptr) {
        Finish(currentThread, exitCode);
    }
    pthread_exit(nullptr);
}

bool OsGetExitCodeThread(OsHandle thread, std::uint32_t* exitCode) {
    PxThread* t = reinterpret_cast<PxThread*>(px_handle_get(thread, PX_KIND_THREAD));
    if (t == nullptr) {
        return false;
    }
    bool ok = exitCode != nullptr;
    if (ok) {
        std::lock_guard<std::mutex> guard(t->lock);
        *exitCode =
            OsAtomicLoadRelaxed(&t->ended) != 0 && KernelDone(t, 0) ? t->exitCode : OS_STILL_ACTIVE;
    }
    px_object_put(&t->header);
    return ok;
}

namespace {

// The calling thread's kernel id, asked of the kernel once per thread. A forked
// child's only thread starts with its parent's value, so the child forgets it.
thread_local std::uint32_t selfTid = 0;

void ForgetTidInChild() {
    selfTid = 0;
}

}  // namespace

std::uint32_t px_self_tid() {
    if (selfTid == 0) {
        static const int registered = pthread_atfork(nullptr, nullptr, ForgetTidInChild);
        (void)registered;
        selfTid = static_cast<std::uint32_t>(syscall(SYS_gettid));
    }
    return selfTid;
}

std::uint32_t OsCurrentThreadId() {
    return px_self_tid();
}
