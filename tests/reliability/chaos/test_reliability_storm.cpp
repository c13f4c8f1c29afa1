// The real server on the simulated board under a storm of level events, with
// client processes killed around it: the storm with churning clients killed at
// random moments (often while they hold their block's lock), a client killed
// while it holds its lock, over and over, and a client stopped while it holds it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "chaos_support.h"
#include "kqvxi/client.h"
#include "kqvxi/events.h"
#include "locks/mutex.h"
#include "platform/event.h"
#include "platform/mapping.h"
#include "platform/process.h"
#include "queue/asyncque.h"
#include "queue/lifecycle.h"
#include "support/client_slots.h"
#include "support/server_process.h"
#include "support/child.h"

namespace {

using namespace chaos;

// A storm client that takes its lock itself: opens its block (slot 0) with the
// client side, registers for the storm on the controller given as text, and
// returns its lock, or null.
EventMutex* JoinStormWithOwnLock(const std::string& controllerArg) {
    const auto controller = static_cast<std::uint16_t>(std::stoul(controllerArg));
    if (OpenQueueBlock(0, OsCurrentProcessId(), SIDE_CLIENT) == nullptr ||
        RegisterForStorm(controller) != 0) {
        return nullptr;
    }
    return SlotLock(0);
}

// Churning client: args controller, ready event name, hold event name, holding
// event name. Opens its block with the client side, registers for the storm,
// then empties its ring now and then until it is killed. When the hold event is
// set it takes its lock, says so on the holding event, and keeps it.
KQ_CHILD_ROLE(chaos_churner) {
    if (args.size() != 4) {
        return 2;
    }
    EventMutex* lock = JoinStormWithOwnLock(args[0]);
    if (lock == nullptr) {
        return 3;
    }
    const std::uint32_t pid = OsCurrentProcessId();
    OsHandle hold = OsCreateEvent(args[2].c_str(), false, false);
    OsHandle holding = OsCreateEvent(args[3].c_str(), false, false);
    OsHandle ready = OsCreateEvent(args[1].c_str(), false, false);
    OsSetEvent(ready);
    std::mt19937 rng(pid);
    const Clock::time_point start = Clock::now();
    while (MsSince(start) < 600000) {
        if (OsWaitForObject(hold, 2 + rng() % 20) == OS_WAIT_OBJECT_0) {
            AcquireEventMutex(lock);
            OsSetEvent(holding);
            OsSleep(600000);
        }
        std::uint32_t c, a1, a2, a3;
        AcquireEventMutex(lock);
        while (TakeRecord(SlotView(0), &c, &a1, &a2, &a3) == QUEUE_OK) {
        }
        ReleaseEventMutex(lock);
    }
    return 0;
}

// Holder: args controller, ready event name, release event name (or "-").
// Registers, takes its lock, says so, and keeps it until the release event is
// set; then gives it back and waits up to 10 s for a storm record to arrive
// (exit 0 when one did).
KQ_CHILD_ROLE(chaos_holder) {
    if (args.size() != 3) {
        return 2;
    }
    EventMutex* lock = JoinStormWithOwnLock(args[0]);
    if (lock == nullptr) {
        return 3;
    }
    OsHandle release = args[2] == "-" ? OS_NO_HANDLE : OsCreateEvent(args[2].c_str(), false, false);
    AcquireEventMutex(lock);
    OsHandle ready = OsCreateEvent(args[1].c_str(), false, false);
    OsSetEvent(ready);
    if (release == OS_NO_HANDLE) {
        OsSleep(600000);
        return 4;
    }
    if (OsWaitForObject(release, 600000) != OS_WAIT_OBJECT_0) {
        return 5;
    }
    // Empty the ring under the lock, so new records have room.
    std::uint32_t c, a1, a2, a3;
    while (TakeRecord(SlotView(0), &c, &a1, &a2, &a3) == QUEUE_OK) {
    }
    ReleaseEventMutex(lock);
    const Clock::time_point start = Clock::now();
    while (MsSince(start) < 10000) {
        AcquireEventMutex(lock);
        bool got = false;
        while (TakeRecord(SlotView(0), &c, &a1, &a2, &a3) == QUEUE_OK) {
            got = got || c == KQVXI_EVENT_CODE(7);
        }
        ReleaseEventMutex(lock);
        if (got) {
            return 0;
        }
        OsSleep(5);
    }
    return 6;
}

bool Sanitized() {
    return Sanitizer()[0] != 0;
}

// Reads the lock word of pid's block (the caller keeps pid stopped). -2 when the
// block cannot be opened.
std::int32_t PeekLockWord(std::uint32_t pid) {
    char name[CLIENT_OBJECT_NAME_SIZE];
    FormatClientObjectName(name, pid, BLOCK_NAME_SUFFIX);
    bool existed = false;
    OsHandle mapping = OsCreateMapping(name, QUEUE_BLOCK_SIZE, &existed);
    if (mapping == OS_NO_HANDLE) {
        return -2;
    }
    std::int32_t word = -2;
    if (auto* block = static_cast<AsyncQueueBlock*>(OsMapView(mapping, QUEUE_BLOCK_SIZE))) {
        word = existed ? *static_cast<volatile std::int32_t*>(&block->lockCount) : -2;
        OsUnmapView(block);
    }
    OsCloseHandle(mapping);
    return word;
}

struct Child : ReadyChild {
    Child() = default;
    explicit Child(const ReadyChild& started) : ReadyChild(started) {}
    std::string hold, holding;  // churners: the events that make it take its lock
};

Child StartChurner(std::uint16_t controller, const std::string& tag) {
    const std::string ready = UniqueName("chaos ready " + tag);
    const std::string hold = UniqueName("chaos hold " + tag);
    const std::string holding = UniqueName("chaos holding " + tag);
    Child c{StartReady("chaos_churner", {std::to_string(controller), ready, hold, holding}, ready)};
    c.hold = hold;
    c.holding = holding;
    return c;
}

// Makes the churner take its lock and waits until it holds it.
bool MakeHold(const Child& c) {
    OsHandle hold = OsCreateEvent(c.hold.c_str(), false, false);
    OsHandle holding = OsCreateEvent(c.holding.c_str(), false, false);
    OsSetEvent(hold);
    bool ok = OsWaitForObject(holding, 5000) == OS_WAIT_OBJECT_0;
    OsCloseHandle(hold);
    OsCloseHandle(holding);
    return ok;
}

// The injector thread and the drainers run at a raised priority where allowed, so
// that a gap the drainers measure is the server's and not this busy machine's.
void RaisePriority(std::uint32_t pid = 0) {
    if (geteuid() == 0) {
        setpriority(PRIO_PROCESS, pid != 0 ? static_cast<id_t>(pid) : static_cast<id_t>(gettid()),
                    -10);
    }
}

struct Drainers {
    std::vector<OsHandle> handles;
    std::vector<std::string> results;
};

Drainers StartDrainers(std::uint16_t controller, int count) {
    Drainers d;
    for (int i = 0; i < count; ++i) {
        const std::string ready = UniqueName("chaos ready d" + std::to_string(i));
        const std::string result = TempPath("drain" + std::to_string(i));
        OsHandle ev = OsCreateEvent(ready.c_str(), false, false);
        std::uint32_t pid = 0;
        OsHandle h = StartDrainer(controller, result, ready, &pid);
        EXPECT_NE(h, OS_NO_HANDLE);
        EXPECT_EQ(OsWaitForObject(ev, 30000), OS_WAIT_OBJECT_0) << "drainer " << i;
        // A drainer must run within about 10 ms of each wake-up at 10,000 records
        // a second (its ring holds 99); on a busy machine that takes priority.
        RaisePriority(pid);
        OsCloseHandle(ev);
        d.handles.push_back(h);
        d.results.push_back(result);
    }
    return d;
}

// Collects the drainers' results and checks them against the accepted count:
// every accepted record arrives in order, once, except those the server had to
// drop on a full ring (the drainer was not run in time), added to *overflowLost.
// Returns the longest gap in microseconds.
long long CheckDrainers(Drainers& d, long long accepted, long long* overflowLost = nullptr) {
    long long maxGap = 0;
    for (std::size_t i = 0; i < d.handles.size(); ++i) {
        EXPECT_EQ(WaitChild(d.handles[i], 60000), 0) << "drainer " << i;
        DrainResult r = ReadDrainResult(d.results[i], accepted);
        EXPECT_EQ(r.received + r.overflowLost, accepted) << "drainer " << i;
        if (overflowLost != nullptr) {
            *overflowLost += r.overflowLost;
        } else {
            EXPECT_EQ(r.overflowLost, 0) << "drainer " << i;
        }
        EXPECT_EQ(r.errors, 0) << "drainer " << i << ": first expected " << r.firstBadExpected
                               << ", got " << r.firstBadGot;
        maxGap = r.maxGapUs > maxGap ? r.maxGapUs : maxGap;
    }
    return maxGap;
}

std::uint32_t SweepCount(std::uint16_t controller) {
    std::uint32_t count = 0;
    EXPECT_EQ(Request(controller, KQVXI_CMD_SWEEP, &count), KQVXI_OK);
    return count;
}

void StopServer(std::uint16_t controller, OsHandle server) {
    EXPECT_EQ(Request(controller, KQVXI_CMD_STOP), KQVXI_OK);
    EXPECT_EQ(WaitChild(server, 20000), 0);
}

TEST(ReliabilityStorm, ChurningClientsKilledDuringAStormNeverCostTheDrainersARecord) {
    const int kills = std::getenv("KQ_CHAOS_KILLS") ? std::atoi(std::getenv("KQ_CHAOS_KILLS"))
                      : Soak()                      ? 1000
                                                    : (Sanitized() ? 16 : 100);
    const int drainerCount = 10, churnerCount = 40;
    const std::uint16_t controller = server_process::OwnController(1);
    std::uint32_t serverPid = 0;
    OsHandle server = StartServer(controller, &serverPid);
    ASSERT_NE(server, OS_NO_HANDLE);
    ASSERT_TRUE(WaitServing(controller));
    // The baseline once the server has opened everything it opens lazily (its
    // dispatch thread's first wait, its first requests).
    EXPECT_EQ(SweepCount(controller), 0u);
    OsSleep(200);
    const int fd0 = CountFds(serverPid), maps0 = CountShmMappings(serverPid);

    Drainers drainers = StartDrainers(controller, drainerCount);
    std::vector<Child> churners;
    for (int i = 0; i < churnerCount; ++i) {
        Child c = StartChurner(controller, "c" + std::to_string(i));
        ASSERT_NE(c.handle, OS_NO_HANDLE);
        churners.push_back(c);
    }
    EXPECT_EQ(SweepCount(controller), static_cast<std::uint32_t>(drainerCount + churnerCount));

    Injector injector;
    injector.controller = controller;
    std::thread storm([&] {
        RaisePriority();
        injector.Run();
    });
    std::mt19937 rng(static_cast<unsigned>(Clock::now().time_since_epoch().count()));
    int killedHolding = 0, sweepMisses = 0, leftObjects = 0;
    long long maxFds = 0;
    const Clock::time_point start = Clock::now();
    for (int k = 0; k < kills; ++k) {
        const Clock::time_point due = start + std::chrono::milliseconds(500LL * (k + 1));
        std::this_thread::sleep_until(due);
        const std::size_t victim = rng() % churners.size();
        Child c = churners[victim];
        // Every other victim is made to take its lock first; the others die
        // wherever they are.
        if (k % 2 == 0) {
            EXPECT_TRUE(MakeHold(c));
        }
        // Stopped first, so that the lock word read is the one it dies with.
        kill(static_cast<pid_t>(c.pid), SIGSTOP);
        killedHolding += PeekLockWord(c.pid) >= 0 ? 1 : 0;
        OsKillProcess(c.handle);
        WaitChild(c.handle, 10000);
        if (SweepCount(controller) != static_cast<std::uint32_t>(drainerCount + churnerCount - 1)) {
            ++sweepMisses;
        }
        if (const int left = CountClientObjects(c.pid); left != 0) {
            leftObjects += left;
            if (leftObjects == left) {
                std::printf("[storm] objects of %u left after its sweep; held by: %s\n", c.pid,
                            HoldersOfClientObjects(c.pid).c_str());
            }
        }
        const long long fds = CountFds(serverPid);
        maxFds = fds > maxFds ? fds : maxFds;
        churners[victim] = StartChurner(controller, "r" + std::to_string(k));
        ASSERT_NE(churners[victim].handle, OS_NO_HANDLE) << "kill " << k;
    }
    injector.stop = true;
    storm.join();
    ASSERT_TRUE(injector.Finish());
    long long overflowLost = 0;
    const long long maxGapUs = CheckDrainers(drainers, injector.accepted.load(), &overflowLost);

    for (Child& c : churners) {
        OsKillProcess(c.handle);
        WaitChild(c.handle, 10000);
    }
    EXPECT_EQ(SweepCount(controller), 0u);
    for (Child& c : churners) {
        leftObjects += CountClientObjects(c.pid);
    }
    const int fdEnd = CountFds(serverPid), mapsEnd = CountShmMappings(serverPid);
    const double seconds = static_cast<double>(injector.elapsedMs) / 1000.0;
    std::printf(
        "[storm] %d kills (%d while holding the lock), %lld events accepted "
        "(%.0f/s), %lld refused (board queue full; at most %lld ms at a time), %lld attempts "
        "(%.0f/s) in %.1f s; injector paused at most %lld ms\n",
        kills, killedHolding, injector.accepted.load(),
        static_cast<double>(injector.accepted.load()) / seconds, injector.refused.load(),
        injector.longestRefusalMs, injector.attempts.load(),
        static_cast<double>(injector.attempts.load()) / seconds, seconds, injector.longestPauseMs);
    std::printf(
        "[storm] %d drainers: records lost out of order or twice: see failures (none = 0); "
        "%lld dropped on a full ring (drainer not run in time); longest gap %.1f ms; sweep "
        "misses %d; server fds %d -> peak %lld -> %d, object directory maps %d -> %d, objects left "
        "%d\n",
        drainerCount, overflowLost, static_cast<double>(maxGapUs) / 1000.0, sweepMisses, fd0,
        maxFds, fdEnd, maps0, mapsEnd, leftObjects);
    // A pause of the injector itself is a gap at the drainers, not a stall.
    EXPECT_LT(maxGapUs, 1000000 + injector.longestPauseMs * 1000)
        << "delivery to the drainers stalled";
    EXPECT_EQ(sweepMisses, 0);
    EXPECT_EQ(leftObjects, 0);
    EXPECT_EQ(fdEnd, fd0);
    EXPECT_EQ(mapsEnd, maps0);
    EXPECT_GT(killedHolding, 0);
    // Full-ring drops (a drainer this machine did not run for ~10 ms) and the
    // injection rate depend on the machine's load, not on the code: printed
    // above, never asserted. What must hold under any load is checked: order,
    // no repeats, no loss beyond the counted drops, the stall bound, the sweeps.
    EXPECT_GT(injector.accepted.load(), 0);
    StopServer(controller, server);
}

// Storm around a set of drainers, for the lock-holder tests.
struct SmallStorm {
    std::uint16_t controller;
    OsHandle server = OS_NO_HANDLE;
    Drainers drainers;
    Injector injector;
    std::thread thread;

    explicit SmallStorm(std::uint16_t c) : controller(c) {
        std::uint32_t pid = 0;
        server = StartServer(controller, &pid);
        EXPECT_NE(server, OS_NO_HANDLE);
        EXPECT_TRUE(WaitServing(controller));
        drainers = StartDrainers(controller, 3);
        injector.controller = controller;
        injector.ratePerSecond = 5000;
        thread = std::thread([this] {
            RaisePriority();
            injector.Run();
        });
    }
    long long overflowLost = 0;

    // Ends the storm, checks the drainers, stops the server; the longest gap in ms.
    double Finish() {
        injector.stop = true;
        thread.join();
        EXPECT_TRUE(injector.Finish());
        const long long gap = CheckDrainers(drainers, injector.accepted.load(), &overflowLost);
        // A drainer this machine did not run in time loses records on its full
        // ring; how many depends on the load (hundreds of processes are started
        // meanwhile), so the count is printed by the tests, never asserted.
        StopServer(controller, server);
        return static_cast<double>(gap) / 1000.0;
    }
};

TEST(ReliabilityStorm, ClientsKilledWhileHoldingTheirLockStallTheOthersOnlyBriefly) {
    const int rounds = Soak() ? 2000 : (Sanitized() ? 50 : 200);
    SmallStorm storm(server_process::OwnController(2));
    std::mt19937 rng(static_cast<unsigned>(Clock::now().time_since_epoch().count()));
    int sweepMisses = 0;
    const Clock::time_point start = Clock::now();
    for (int k = 0; k < rounds; ++k) {
        const std::string ready = UniqueName("chaos holder " + std::to_string(k));
        Child holder{
            StartReady("chaos_holder", {std::to_string(storm.controller), ready, "-"}, ready)};
        ASSERT_NE(holder.handle, OS_NO_HANDLE) << "round " << k;
        OsSleep(rng() % 30);
        OsKillProcess(holder.handle);
        WaitChild(holder.handle, 10000);
        // The server waits for a live holder as long as it lives; a holder that
        // registered while the server was still waiting for the previous one would
        // add its own wait to that stall. Leaving the server time to find the
        // death keeps each round's stall its own, which is what is measured.
        OsSleep(40);
        if (k % 10 == 9 || k == rounds - 1) {
            sweepMisses += SweepCount(storm.controller) == 3u ? 0 : 1;
        }
    }
    const long long ms = MsSince(start);
    const double gapMs = storm.Finish();
    std::printf(
        "[holder death] %d holders killed holding their lock in %.1f s; %lld records "
        "to each of 3 drainers, none lost unless a failure says so; longest gap %.1f ms; sweep "
        "misses %d; board queue refused for at most %lld ms at a time; injector paused at "
        "most %lld ms; %lld dropped on a full ring (drainer not run in time)\n",
        rounds, static_cast<double>(ms) / 1000.0, storm.injector.accepted.load(), gapMs,
        sweepMisses, storm.injector.longestRefusalMs, storm.injector.longestPauseMs,
        storm.overflowLost);
    // Each round's stall is the holder's own time with the lock (up to 30 ms and
    // its start-up) plus the server's 10 ms poll step for finding its death:
    // about 40 ms. The bound leaves a busy machine ten times that, and still
    // stays below the 500 ms the server grants a holder that lives. A pause of
    // the injector itself (this machine did not run it) sends nothing, so the
    // drainers see it as a gap too: it is added, not counted as a stall.
    EXPECT_LT(gapMs,
              (Sanitized() ? 1000.0 : 400.0) + static_cast<double>(storm.injector.longestPauseMs));
    EXPECT_EQ(sweepMisses, 0);
}

TEST(ReliabilityStorm, AStoppedHolderIsNotSweptAndGetsRecordsAgainOnceItLetsGo) {
    SmallStorm storm(server_process::OwnController(3));
    const std::string ready = UniqueName("chaos stop ready");
    const std::string releaseName = UniqueName("chaos stop release");
    OsHandle release = OsCreateEvent(releaseName.c_str(), false, false);
    Child holder{
        StartReady("chaos_holder", {std::to_string(storm.controller), ready, releaseName}, ready)};
    ASSERT_NE(holder.handle, OS_NO_HANDLE);
    kill(static_cast<pid_t>(holder.pid), SIGSTOP);
    // Stopped with its lock held for a while: it stays registered.
    std::uint32_t counts[5];
    for (std::uint32_t& c : counts) {
        OsSleep(200);
        c = SweepCount(storm.controller);
    }
    kill(static_cast<pid_t>(holder.pid), SIGCONT);
    OsSetEvent(release);
    const int holderExit = WaitChild(holder.handle, 30000);
    const double gapMs = storm.Finish();
    std::printf(
        "[stopped holder] stopped 1 s holding its lock: sweep counts %u %u %u %u %u; "
        "records again after release: %s; drainers' longest gap %.1f ms; board queue refused "
        "for at most %lld ms at a time\n",
        counts[0], counts[1], counts[2], counts[3], counts[4], holderExit == 0 ? "yes" : "no",
        gapMs, storm.injector.longestRefusalMs);
    for (std::uint32_t c : counts) {
        EXPECT_EQ(c, 4u);
    }
    EXPECT_EQ(holderExit, 0);
    // One wait of at most 500 ms for the stopped holder, with room for a busy
    // machine, plus any pause of the injector itself (see above).
    EXPECT_LT(gapMs, 1000.0 + static_cast<double>(storm.injector.longestPauseMs));
    OsCloseHandle(release);
}

}  // namespace
