// A new process that gets the pid of an ended, unswept client never sees that
// client's records, selections or lock: run in a private pid namespace, where
// the pid is handed out again on purpose (ns_last_pid), with the real server on
// the simulated board. The old client leaves a record in its ring and a class-0
// selection, and dies with or without holding its lock; the new process opens
// its queue before it registers, drains, registers and drains again.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kqvxi/client.h"
#include "kqvxi/events.h"
#include "platform/atomic.h"
#include "platform/event.h"
#include "platform/mapping.h"
#include "platform/process.h"
#include "queue/asyncque.h"
#include "queue/block_mapping.h"
#include "support/child.h"
#include "support/server_process.h"

using namespace server_process;

namespace {

const bool privateNamespace = setenv("KQVXI_NAMESPACE", "kqtest-pid-reuse", 0) == 0;

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

constexpr std::uint32_t LEFTOVER_CODE = KQVXI_EVENT_CODE(4);
constexpr int WRONG_PID = 77;

int Request(std::uint16_t controller, std::uint32_t command, std::uint32_t a1 = 0) {
    std::uint32_t a2 = 0, a3 = 0;
    return kqvxi_request(controller, command, &a1, &a2, &a3, 5000);
}

// Makes the next process this one starts get pid (in this pid namespace).
bool NextPidWillBe(std::uint32_t pid) {
    int fd = open("/proc/sys/kernel/ns_last_pid", O_WRONLY);
    if (fd < 0) {
        return false;
    }
    std::string text = std::to_string(pid - 1);
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

}  // namespace

// args: controller, "hold" or "free". Registers, selects class 0, leaves one
// record in its ring, optionally takes its lock, and dies by SIGKILL with its
// queue open.
KQ_CHILD_ROLE(old_client) {
    const auto controller = static_cast<std::uint16_t>(std::stoul(args.at(0)));
    if (Request(controller, KQVXI_CMD_REGISTER) != KQVXI_OK ||
        Request(controller, KQVXI_CMD_ENABLE, KQVXI_EVENT_CODE(0)) != KQVXI_OK) {
        return 2;
    }
    kqvxi_queue* queue = kqvxi_queue_open();
    OsHandle mapping = OS_NO_HANDLE;
    AsyncQueueBlock* block = MapQueueBlock(OsCurrentProcessId(), &mapping);
    if (queue == nullptr || block == nullptr || OsAtomicLoad(&block->enableClass0) != 1u) {
        return 3;
    }
    // Nothing else posts to this client: no event is injected.
    AppendRecord(block, LEFTOVER_CODE, 1, 2, 3);
    if (args.at(1) == "hold") {
        static EventMutex lock{};
        char name[CLIENT_OBJECT_NAME_SIZE];
        FormatClientObjectName(name, OsCurrentProcessId(), BLOCK_LOCK_NAME_SUFFIX);
        if (OpenEventMutex(&lock, &block->lockCount, name) != 0) {
            return 4;
        }
        AcquireEventMutex(&lock);
    }
    raise(SIGKILL);
    return 5;
}

// args: controller, the pid it must have. Exit 0 when it saw nothing of its
// predecessor; WRONG_PID when it did not get that pid.
KQ_CHILD_ROLE(new_client) {
    const auto controller = static_cast<std::uint16_t>(std::stoul(args.at(0)));
    if (OsCurrentProcessId() != std::stoul(args.at(1))) {
        return WRONG_PID;
    }
    kqvxi_queue* queue = kqvxi_queue_open();
    if (queue == nullptr) {
        return 10;
    }
    kqvxi_record records[8];
    Clock::time_point start = Clock::now();
    int early = kqvxi_queue_drain(queue, records, 8);
    std::printf("new client: drain before registering: %d records, %.1f ms\n", early,
                MsSince(start));
    if (early != 0) {
        return 11;  // the predecessor's record, or a failed drain
    }
    start = Clock::now();
    if (Request(controller, KQVXI_CMD_REGISTER) != KQVXI_OK) {
        return 12;
    }
    std::printf("new client: registration answered in %.1f ms\n", MsSince(start));
    OsHandle mapping = OS_NO_HANDLE;
    AsyncQueueBlock* block = MapQueueBlock(OsCurrentProcessId(), &mapping);
    if (block == nullptr) {
        return 13;
    }
    if (OsAtomicLoad(&block->enableClass0) != 0u) {
        return 14;  // the predecessor's selection
    }
    start = Clock::now();
    int later = kqvxi_queue_drain(queue, records, 8);
    std::printf("new client: drain after registering: %d records, %.1f ms\n", later,
                MsSince(start));
    if (later != 0) {
        return 15;
    }
    if (OsAtomicLoad(&block->lockCount) != LOCK_FREE) {
        return 16;
    }
    if (Request(controller, KQVXI_CMD_UNREGISTER) != KQVXI_OK) {
        return 17;
    }
    kqvxi_queue_close(queue);
    return 0;
}

// args: controller, "hold" or "free". Pid 1 of a private pid namespace: runs
// the server, the old client, and the new client on the old client's pid.
KQ_CHILD_ROLE(pid_reuse_scenario) {
    const auto controller = static_cast<std::uint16_t>(std::stoul(args.at(0)));
    const std::string server = ServerPath();
    const std::string number = std::to_string(controller);
    const char* serverArgs[] = {number.c_str(), nullptr};
    std::uint32_t serverPid = 0;
    OsHandle serverProcess = OsSpawnProcess(server.c_str(), serverArgs, &serverPid);
    if (serverProcess == OS_NO_HANDLE || !WaitServing(controller)) {
        return 20;
    }
    std::uint32_t oldPid = 0;
    OsHandle old = SpawnChild("old_client", {number, args.at(1)}, &oldPid);
    int oldCode = WaitChild(old, 30000);
    if (oldCode != 128 + SIGKILL && oldCode != -SIGKILL && oldCode != SIGKILL) {
        std::printf("old client ended with %d\n", oldCode);
        return 21;
    }
    // The server still serves the old client's slot: nothing swept it.
    int code = WRONG_PID;
    for (int attempt = 0; attempt < 20 && code == WRONG_PID; ++attempt) {
        if (!NextPidWillBe(oldPid)) {
            return 22;
        }
        OsHandle fresh = SpawnChild("new_client", {number, std::to_string(oldPid)});
        code = WaitChild(fresh, 30000);
    }
    std::printf("new client on reused pid %u ended with %d\n", oldPid, code);
    Request(controller, KQVXI_CMD_STOP);
    WaitChild(serverProcess, 10000);
    return code;
}

namespace {

// Runs the scenario as pid 1 of a new pid and mount namespace, with its own
// /proc. -1 when namespaces cannot be made here (not root), -1000 on time-out.
int RunInPidNamespace(std::uint16_t controller, const char* holdOrFree) {
    char self[4096];
    if (!OsSelfExePath(self, sizeof self)) {
        return -2;
    }
    const std::string number = std::to_string(controller);
    pid_t outer = fork();
    if (outer == 0) {
        if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) {
            _exit(255);
        }
        pid_t init = fork();
        if (init == 0) {
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
            mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr);
            execl(self, self, "--kq-child", "pid_reuse_scenario", number.c_str(), holdOrFree,
                  static_cast<char*>(nullptr));
            _exit(254);
        }
        int status = 0;
        waitpid(init, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 253);
    }
    const auto end = Clock::now() + std::chrono::seconds(120);
    int status = 0;
    while (waitpid(outer, &status, WNOHANG) == 0) {
        if (Clock::now() > end) {
            kill(outer, SIGKILL);
            waitpid(outer, &status, 0);
            return -1000;
        }
        usleep(10000);
    }
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : -3;
    return code == 255 ? -1 : code;
}

void RunCase(std::uint16_t offset, const char* holdOrFree) {
    ASSERT_TRUE(privateNamespace);
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for a private pid namespace";
    }
    int code = RunInPidNamespace(OwnController(offset), holdOrFree);
    if (code == -1) {
        GTEST_SKIP() << "no private pid namespace here";
    }
    // 11: a record before registering; 14: the class-0 selection; 15: a record
    // after; 16: the lock left held; 77: the pid never came back; -1000: a hang.
    EXPECT_EQ(code, 0);
}

}  // namespace

TEST(ReliabilityPidReuse, ReusedPidSeesNoRecordsNorSelectionsOfItsPredecessor) {
    RunCase(1, "free");
}

TEST(ReliabilityPidReuse, ReusedPidDoesNotHangOnTheLockItsPredecessorDiedHolding) {
    RunCase(2, "hold");
}
