// Properties of the POSIX backend that only POSIX calls can check: object names
// and modes in /dev/shm, other users refused, names of dead holders swept, pid
// reuse, real-time refusal and the message box without a terminal.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/atomic.h"
#include "platform/dialog.h"
#include "platform/event.h"
#include "platform/mapping.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "platform/posix/shm_path.h"
#include "platform/thread.h"
#include "support/child.h"

namespace {

constexpr uid_t NOBODY = 65534;

// Runs body in a forked child and returns its exit status (or -1). The child
// ends with _exit so it never runs the parent's test teardown.
template <typename Body>
int InChild(Body body) {
    pid_t pid = fork();
    if (pid == 0) {
        _exit(body());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// Names in the object directory that start with prefix and contain part.
int CountShmFiles(const char* prefix, const char* part, mode_t* mode) {
    int n = 0;
    char dir[1024];
    if (!px_shm_dir_path(dir, sizeof dir)) {
        return -1;
    }
    DIR* d = opendir(dir);
    if (d == nullptr) {
        return -1;
    }
    while (dirent* e = readdir(d)) {
        if (std::strncmp(e->d_name, prefix, std::strlen(prefix)) == 0 &&
            std::strstr(e->d_name, part) != nullptr) {
            struct stat st {};
            std::string path = std::string(dir) + "/" + e->d_name;
            if (stat(path.c_str(), &st) == 0 && mode != nullptr) {
                *mode = st.st_mode & 0777;
            }
            ++n;
        }
    }
    closedir(d);
    return n;
}

std::uint32_t WaitForEvent(void* ev) {
    return OsWaitForObject(*static_cast<OsHandle*>(ev), 5000);
}

}  // namespace

TEST(PlatformPosix, NamesMapToPrivateObjectsPerKind) {
    std::string name = UniqueName("KQ-VXI Intr Proc Event");
    bool existed = true;
    OsHandle map = OsCreateMapping(name.c_str(), 64, &existed);
    ASSERT_NE(map, OS_NO_HANDLE);
    EXPECT_FALSE(existed);
    OsHandle ev = OsCreateEvent(name.c_str(), false, false, &existed);
    ASSERT_NE(ev, OS_NO_HANDLE);
    EXPECT_FALSE(existed) << "an event and a mapping of one name must not collide";
    // Names that differ only in characters the escaping must keep apart.
    OsHandle slash = OsCreateMapping((name + "/x").c_str(), 64, &existed);
    EXPECT_FALSE(existed);
    OsHandle percent = OsCreateMapping((name + "%2fx").c_str(), 64, &existed);
    EXPECT_FALSE(existed);
    std::string longName(400, 'L');
    longName += name;
    OsHandle big = OsCreateMapping(longName.c_str(), 64, &existed);
    ASSERT_NE(big, OS_NO_HANDLE);
    OsHandle big2 = OsCreateMapping(longName.c_str(), 64, &existed);
    EXPECT_TRUE(existed);

    // UniqueName gives letters, digits, '-' and spaces; a space becomes "%20".
    std::string escaped;
    for (char c : name) {
        escaped += c == ' ' ? std::string("%20") : std::string(1, c);
    }
    mode_t mode = 0;
    EXPECT_EQ(CountShmFiles("kqvxi.map.", escaped.c_str(), &mode), 3);
    EXPECT_EQ(mode, 0600u);
    EXPECT_EQ(CountShmFiles("kqvxi.evt.", escaped.c_str(), &mode), 1);
    EXPECT_EQ(mode, 0600u);
    for (OsHandle h : {map, ev, slash, percent, big, big2}) {
        EXPECT_TRUE(OsCloseHandle(h));
    }
    EXPECT_EQ(CountShmFiles("kqvxi.", escaped.c_str(), nullptr), 0)
        << "the last close leaves no object behind";
}

// args: name. Exit code: how many of a mapping, event and mutex of that name opened.
KQ_CHILD_ROLE(open_all_kinds) {
    const char* name = args.at(0).c_str();
    int n = 0;
    n += OsCreateMapping(name, 64, nullptr) != OS_NO_HANDLE ? 1 : 0;
    n += OsCreateEvent(name, false, false) != OS_NO_HANDLE ? 1 : 0;
    n += OsCreateMutex(name) != OS_NO_HANDLE ? 1 : 0;
    return n;
}

TEST(PlatformPosix, AnotherUserCannotOpenTheObjects) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the opener as user nobody";
    }
    std::string name = UniqueName("private");
    OsHandle map = OsCreateMapping(name.c_str(), 64, nullptr);
    OsHandle ev = OsCreateEvent(name.c_str(), false, false);
    OsHandle mx = OsCreateMutex(name.c_str());
    ASSERT_NE(map, OS_NO_HANDLE);
    ASSERT_NE(ev, OS_NO_HANDLE);
    ASSERT_NE(mx, OS_NO_HANDLE);
    // A fresh program, so nothing of this process's own bookkeeping is inherited.
    char exe[4096];
    ASSERT_TRUE(OsSelfExePath(exe, sizeof exe));
    const uid_t owner = geteuid();
    int opened = InChild([&] {
        if (setgid(NOBODY) != 0 || setuid(NOBODY) != 0) {
            return 9;
        }
        // Aimed at our objects: without this, nobody gets a directory of its own.
        setenv("KQVXI_SERVICE_USER", std::to_string(owner).c_str(), 1);
        execl(exe, exe, "--kq-child", "open_all_kinds", name.c_str(), nullptr);
        return 8;
    });
    EXPECT_EQ(opened, 0) << "objects opened by another user";
    OsCloseHandle(mx);
    OsCloseHandle(ev);
    OsCloseHandle(map);
}

TEST(PlatformPosix, AProcessHandleSurvivesPidReuse) {
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    pid_t first = fork();
    if (first == 0) {
        char c;
        (void)!read(gate[0], &c, 1);
        _exit(3);
    }
    ASSERT_GT(first, 0);
    OsHandle h = OsOpenProcess(static_cast<std::uint32_t>(first));
    ASSERT_NE(h, OS_NO_HANDLE);
    (void)!write(gate[1], "go", 2);
    waitpid(first, nullptr, 0);  // reaped: the pid is free for reuse

    // Ask the kernel to hand the same pid out again (root in its pid namespace).
    pid_t second = -1;
    for (int attempt = 0; attempt < 20 && second != first; ++attempt) {
        if (second > 0) {
            kill(second, SIGKILL);
            waitpid(second, nullptr, 0);
            second = -1;
        }
        int fd = open("/proc/sys/kernel/ns_last_pid", O_WRONLY);
        if (fd < 0) {
            break;
        }
        std::string last = std::to_string(first - 1);
        bool written = write(fd, last.c_str(), last.size()) == static_cast<ssize_t>(last.size());
        close(fd);
        if (!written) {
            break;
        }
        second = fork();
        if (second == 0) {
            pause();
            _exit(0);
        }
    }
    if (second != first) {
        if (second > 0) {
            kill(second, SIGKILL);
            waitpid(second, nullptr, 0);
        }
        OsCloseHandle(h);
        close(gate[0]);
        close(gate[1]);
        GTEST_SKIP() << "could not get the pid reused (needs root to write ns_last_pid)";
    }
    EXPECT_EQ(OsWaitForObject(h, 0), OS_WAIT_OBJECT_0) << "handle followed the reused pid";
    std::uint32_t code = 0;
    ASSERT_TRUE(OsGetExitCodeProcess(h, &code));
    EXPECT_NE(code, OS_STILL_ACTIVE);
    OsHandle fresh = OsOpenProcess(static_cast<std::uint32_t>(second));
    ASSERT_NE(fresh, OS_NO_HANDLE);
    EXPECT_EQ(OsWaitForObject(fresh, 0), OS_WAIT_TIMEOUT);
    kill(second, SIGKILL);
    waitpid(second, nullptr, 0);
    OsCloseHandle(fresh);
    OsCloseHandle(h);
    close(gate[0]);
    close(gate[1]);
}

TEST(PlatformPosix, TimeCriticalWithoutRealTimeRightsIsRefused) {
    int result = InChild([] {
        rlimit none{0, 0};
        setrlimit(RLIMIT_RTPRIO, &none);
        if (geteuid() == 0 && (setgid(NOBODY) != 0 || setuid(NOBODY) != 0)) {
            return 9;
        }
        OsHandle ev = OsCreateEvent(nullptr, true, false);
        OsHandle t = OsCreateThread(WaitForEvent, &ev, nullptr);
        bool raised = t != OS_NO_HANDLE && OsSetThreadTimeCritical(t);
        OsSetEvent(ev);
        OsWaitForObject(t, 5000);
        return raised ? 1 : t == OS_NO_HANDLE ? 2 : 0;
    });
    EXPECT_EQ(result, 0);
}

// The thread id is asked of the kernel once per thread and kept: a new thread and
// a forked child (whose one thread starts with the parent's copy) must still get
// their own.
TEST(PlatformPosix, ThreadIdIsRightInNewThreadsAndForkedChildren) {
    const auto kernelTid = [] { return static_cast<std::uint32_t>(syscall(SYS_gettid)); };
    const std::uint32_t self = OsCurrentThreadId();
    EXPECT_EQ(self, kernelTid());
    EXPECT_EQ(OsCurrentThreadId(), self);
    std::uint32_t other = 0, otherKernel = 0;
    std::thread([&] {
        other = OsCurrentThreadId();
        otherKernel = kernelTid();
    }).join();
    EXPECT_EQ(other, otherKernel);
    EXPECT_NE(other, self);

    const std::string name = "kq-test tid " + std::to_string(getpid());
    OsHandle m = OsCreateMutex(name.c_str());
    ASSERT_NE(m, OS_NO_HANDLE);
    int result = InChild([&] {
        if (OsCurrentThreadId() != kernelTid()) {
            return 1;
        }
        if (OsWaitForObject(m, 1000) != OS_WAIT_OBJECT_0) {
            return 2;
        }
        return OsReleaseMutex(m) ? 0 : 3;
    });
    EXPECT_EQ(result, 0);
    // Taken by the parent after the child: the owner is the parent's thread.
    ASSERT_EQ(OsWaitForObject(m, 1000), OS_WAIT_OBJECT_0);
    EXPECT_TRUE(OsReleaseMutex(m));
    OsCloseHandle(m);
}

// Runs OsMessageBox in a child whose controlling terminal is a new pty, types
// input on it and returns the box's answer, or -1 when it did not come back.
int AnswerOnTerminal(const char* input) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        return -1;
    }
    std::string slave = ptsname(master);
    pid_t pid = fork();
    if (pid == 0) {
        close(master);
        setsid();
        int fd = open(slave.c_str(), O_RDWR);  // becomes the controlling terminal
        if (fd < 0) {
            _exit(90);
        }
        _exit(OsMessageBox("Something failed", "kqvxi", 0));
    }
    if (write(master, input, std::strlen(input)) < 0) {
        return -1;
    }
    char sink[512];
    // Read the prompt until the child is done, so the child never blocks on output.
    int status = 0;
    for (int i = 0; i < 500 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 10) > 0 && read(master, sink, sizeof sink) <= 0) {
            break;
        }
    }
    pid_t done = 0;
    for (int i = 0; i < 500 && (done = waitpid(pid, &status, WNOHANG)) == 0; ++i) {
        usleep(2000);  // the terminal closed as the child was leaving
    }
    close(master);
    if (done == 0) {
        kill(pid, SIGKILL);  // the box never came back
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PlatformPosix, MessageBoxAsksOnTheTerminal) {
    EXPECT_EQ(AnswerOnTerminal("r\n"), OS_IDRETRY);
    EXPECT_EQ(AnswerOnTerminal("what?\n  Ignore\n"), OS_IDIGNORE);
    EXPECT_EQ(AnswerOnTerminal("A\n"), OS_IDABORT);
    EXPECT_EQ(AnswerOnTerminal("\x04"), 0);  // end of input (Ctrl-D) instead of an answer
}

TEST(PlatformPosix, MessageBoxWithoutATerminalFails) {
    int result = InChild([] {
        setsid();  // leaves the controlling terminal behind
        return OsMessageBox("text", "caption", 0) == 0 ? 0 : 1;
    });
    EXPECT_EQ(result, 0);
}

// Creates one unnamed event, which is this process's first use of shared objects.
KQ_CHILD_ROLE(first_use) {
    (void)args;
    OsHandle ev = OsCreateEvent(nullptr, false, false);
    return ev != OS_NO_HANDLE ? 0 : 1;
}

TEST(PlatformPosix, NamesLeftByDeadHoldersAreSweptAway) {
    std::string name = UniqueName("leftover");
    int made = InChild([&] {
        bool existed = true;
        OsHandle h = OsCreateMapping(name.c_str(), 4096, &existed);
        return h != OS_NO_HANDLE && !existed ? 0 : 1;  // ends without closing
    });
    ASSERT_EQ(made, 0);
    // This name only (its blanks escaped as in the POSIX name), not other test
    // processes' leftovers. Every process's first use sweeps, so another test
    // process starting now may sweep it before our helper does: the end state
    // is the same.
    std::string posixPart = name;
    for (std::size_t at = posixPart.find(' '); at != std::string::npos;
         at = posixPart.find(' ', at)) {
        posixPart.replace(at, 1, "%20");
    }
    const int left = CountShmFiles("kqvxi.map.", posixPart.c_str(), nullptr);
    ASSERT_LE(left, 1);
    if (left == 0) {
        std::printf("[sweep] another process swept the leftover first\n");
    }
    EXPECT_EQ(WaitChild(SpawnChild("first_use"), 20000), 0);
    EXPECT_EQ(CountShmFiles("kqvxi.map.", posixPart.c_str(), nullptr), 0);
}

namespace {
// Syscall user dispatch: while blockSyscalls is 1, every system call of this
// thread raises SIGSYS instead of running, which the handler counts.
volatile char blockSyscalls = 0;
std::int32_t syscallsSeen = 0;
void OnSigsys(int, siginfo_t*, void*) {
    blockSyscalls = 0;  // let the return from the handler through
    OsAtomicFetchAdd(&syscallsSeen, 1);
}
constexpr int DISPATCH_PRCTL = 59;  // PR_SET_SYSCALL_USER_DISPATCH
constexpr int DISPATCH_ON = 1;
}  // namespace

TEST(PlatformPosix, SettingAnEventNobodyWaitsOnMakesNoSystemCall) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer defers signals, so SIGSYS cannot count system calls";
#endif
    int result = InChild([] {
        OsHandle autoEv = OsCreateEvent(nullptr, false, false);
        OsHandle manualEv = OsCreateEvent(nullptr, true, false);
        if (autoEv == OS_NO_HANDLE || manualEv == OS_NO_HANDLE) {
            return 10;
        }
        struct sigaction sa {};
        sa.sa_sigaction = OnSigsys;
        sa.sa_flags = SA_SIGINFO;
        sigaction(SIGSYS, &sa, nullptr);
        if (prctl(DISPATCH_PRCTL, DISPATCH_ON, 0, 0, &blockSyscalls) != 0) {
            return 11;  // kernel without syscall user dispatch
        }
        blockSyscalls = 1;  // the mechanism itself: one direct call is seen
        syscall(SYS_getppid);
        if (OsAtomicLoad(&syscallsSeen) != 1) {
            return 12;
        }
        // A thread's first set sets up its fast path (one registration call).
        OsSetEvent(autoEv);
        OsAtomicStore(&syscallsSeen, 0);
        blockSyscalls = 1;
        for (int i = 0; i < 100; ++i) {
            OsSetEvent(autoEv);
            OsSetEvent(manualEv);
        }
        blockSyscalls = 0;
        return OsAtomicLoad(&syscallsSeen) == 0 ? 0 : 1;
    });
    if (result == 11 || result == 12) {
        GTEST_SKIP() << "syscall user dispatch is not available to count system calls";
    }
    EXPECT_EQ(result, 0) << "a set with no waiter entered the kernel";
}

// Sets look an event up without taking a reference; a close must still wait for
// a set in progress, and a set after the close, or on a handle of another kind,
// must fail without touching the freed object (the sanitizer legs see any such
// touch). Also in a forked child, which inherits the parent's fast-path state.
int SetWhileClosing(int rounds) {
    OsHandle current = OS_NO_HANDLE;
    std::uint32_t stop = 0;
    long sets = 0, refused = 0;
    auto setter = [&] {
        while (OsAtomicLoad(&stop) == 0) {
            OsHandle h = OsAtomicLoad(&current);
            if (h == OS_NO_HANDLE) {
                continue;
            }
            OsAtomicFetchAdd(OsSetEvent(h) ? &sets : &refused, 1L);
        }
    };
    std::thread a(setter), b(setter);
    int bad = 0;
    for (int i = 0; i < rounds; ++i) {
        // Every fourth handle is a mapping: a set on it must fail without reading
        // the object, which its close frees at once.
        const bool mapping = i % 4 == 3;
        bool existed = false;
        OsHandle h = mapping ? OsCreateMapping(nullptr, 4096, &existed)
                             : OsCreateEvent(nullptr, false, false);
        OsAtomicStore(&current, h);
        const long before = OsAtomicLoad(&sets), refusedBefore = OsAtomicLoad(&refused);
        for (int spin = 0; spin < 100000 && OsAtomicLoad(&sets) == before &&
                           (!mapping || OsAtomicLoad(&refused) == refusedBefore);
             ++spin) {
        }
        // A set that succeeded left the event set; none can succeed after the close.
        bad += OsCloseHandle(h) ? 0 : 1;
        bad += OsSetEvent(h) ? 1 : 0;
    }
    OsAtomicStore(&stop, 1u);
    a.join();
    b.join();
    std::printf("[set while closing] %d closes, %ld sets, %ld refused\n", rounds, sets, refused);
    std::fflush(stdout);
    return bad == 0 && sets > 0 ? 0 : 1;
}

TEST(PlatformPosix, ClosingAnEventWhileOtherThreadsSetItIsSafe) {
    EXPECT_EQ(SetWhileClosing(3000), 0);
    EXPECT_EQ(InChild([] { return SetWhileClosing(500); }), 0);
    // More short-lived setting threads, one after another, than there are fast
    // lookup slots: each gives its slot back as it ends, and none is refused.
    OsHandle h = OsCreateEvent(nullptr, false, false);
    int refused = 0;
    for (int i = 0; i < 600; ++i) {
        std::thread([&] { refused += OsSetEvent(h) ? 0 : 1; }).join();
    }
    EXPECT_EQ(refused, 0);
    EXPECT_TRUE(OsCloseHandle(h));
}
