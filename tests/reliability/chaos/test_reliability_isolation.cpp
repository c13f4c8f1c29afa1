// Processes of another user against the server's and its clients' objects: an
// intruder running as `nobody` cannot open a client's block or wake event,
// cannot send requests or inject events (the simulated board's shared state is
// the request channel), and cannot squat the server's wake event name: a name
// another user created first is refused, so the server does not start on it.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "chaos_support.h"
#include "driver/kqvxint.h"
#include "kqvxi/client.h"
#include "kqvxi/events.h"
#include "kqvxi/inject.h"
#include "platform/event.h"
#include "platform/mapping.h"
#include "platform/process.h"
#include "queue/block.h"
#include "queue/lifecycle.h"
#include "support/server_process.h"
#include "support/child.h"

namespace {

using namespace chaos;

constexpr uid_t NOBODY = 65534;
constexpr const char* SERVER_WAKE_NAME = SERVER_WAKE_EVENT_NAME;

bool BecomeNobody() {
    return setgroups(0, nullptr) == 0 && setgid(NOBODY) == 0 && setuid(NOBODY) == 0 &&
           geteuid() == NOBODY;
}

// Intruder: args controller, victim pid. Exit code: bit set for every way in
// that worked (0: none did); 100 when it could not become nobody.
KQ_CHILD_ROLE(chaos_intruder) {
    if (args.size() != 2 || !BecomeNobody()) {
        return 100;
    }
    const auto controller = static_cast<std::uint16_t>(std::stoul(args[0]));
    const auto victim = static_cast<std::uint32_t>(std::stoul(args[1]));
    int in = 0;
    char name[CLIENT_OBJECT_NAME_SIZE];
    FormatClientObjectName(name, victim, BLOCK_NAME_SUFFIX);
    bool existed = false;
    OsHandle block = OsCreateMapping(name, QUEUE_BLOCK_SIZE, &existed);
    in |= block != OS_NO_HANDLE ? 1 : 0;
    FormatClientObjectName(name, victim, CLIENT_WAKE_NAME_SUFFIX);
    in |= OsCreateEvent(name, false, false) != OS_NO_HANDLE ? 2 : 0;
    FormatClientObjectName(name, victim, BLOCK_LOCK_NAME_SUFFIX);
    in |= OsCreateEvent(name, false, false) != OS_NO_HANDLE ? 4 : 0;
    std::uint32_t a1 = KQVXI_EVENT_CODE(0), a2 = 0, a3 = 0;
    in |= kqvxi_request(controller, KQVXI_CMD_ENABLE, &a1, &a2, &a3, 2000) == KQVXI_OK ? 8 : 0;
    a1 = a2 = a3 = 0;
    in |= kqvxi_request(controller, KQVXI_CMD_STOP, &a1, &a2, &a3, 2000) == KQVXI_OK ? 16 : 0;
    in |= kqvxi_inject_level(controller, STORM_INDEX, STORM_LEVEL, 7) == KQVXI_INJECT_OK ? 32 : 0;
    in |= OsCreateEvent(SERVER_WAKE_NAME, false, false) != OS_NO_HANDLE ? 64 : 0;
    return in;
}

// Squatter: args event name, flag file path. Creates the named event as nobody,
// says so by creating the file, and keeps it. 100: not nobody; 101: the name
// could not be had (it exists already: for the server's name, a server runs).
KQ_CHILD_ROLE(chaos_squatter) {
    if (args.size() != 2 || !BecomeNobody()) {
        return 100;
    }
    OsHandle squat = OsCreateEvent(args[0].c_str(), false, false);
    if (squat == OS_NO_HANDLE) {
        return 101;
    }
    std::FILE* f = std::fopen(args[1].c_str(), "w");
    if (f != nullptr) {
        std::fclose(f);
    }
    OsSleep(120000);
    return 0;
}

// Mode bits of the /dev/shm file behind a client object.
unsigned ModeOf(const char* kind, std::uint32_t pid, const char* suffix) {
    char name[CLIENT_OBJECT_NAME_SIZE];
    FormatClientObjectName(name, pid, suffix);
    std::string path = std::string("/dev/shm/kqvxi.") + kind + ".";
    for (const char* p = name; *p != 0; ++p) {
        path += *p == ' ' ? std::string("%20") : std::string(1, *p);
    }
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777u) : 0xFFFFu;
}

// A squatter child that holds name as nobody; held tells whether it got it.
struct Squat {
    OsHandle child = OS_NO_HANDLE;
    std::string flag;
    bool held = false;
    explicit Squat(const std::string& name) : flag(TempPath("squat")) {
        std::remove(flag.c_str());
        child = SpawnChild("chaos_squatter", {name, flag});
        const Clock::time_point start = Clock::now();
        std::uint32_t code = OS_STILL_ACTIVE;
        while (access(flag.c_str(), F_OK) != 0 && MsSince(start) < 10000 &&
               OsGetExitCodeProcess(child, &code) && code == OS_STILL_ACTIVE) {
            OsSleep(5);
        }
        held = access(flag.c_str(), F_OK) == 0;
    }
    int End() {
        OsKillProcess(child);
        std::remove(flag.c_str());
        return WaitChild(child, 10000);
    }
};

// Runs first: the board library keeps the server wake event open in any process
// that has made a request, this one included, and then the name cannot be had.
TEST(ReliabilityIsolation, NamesAnotherUserCreatedFirstAreRefusedNotAdopted) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the squatter as nobody";
    }
    const std::uint16_t controller = server_process::OwnController(6);
    // Squatting: a name of this test, then the server's wake event name while no
    // server runs, each pre-created by nobody.
    const std::string ownName = UniqueName("isolation squat");
    Squat own(ownName);
    ASSERT_TRUE(own.held) << "nobody could not create a fresh name";
    const bool ownRefused = OsCreateEvent(ownName.c_str(), false, false) == OS_NO_HANDLE;
    own.End();
    Squat serverName(SERVER_WAKE_NAME);
    int squatServerExit = 1000;
    if (serverName.held) {
        OsHandle squatServer = StartServer(controller, nullptr);
        squatServerExit = WaitChild(squatServer, 20000);
    }
    const bool squatHeld = serverName.held;
    const int squatterExit = serverName.End();

    std::printf(
        "[isolation] a name nobody created refused to root: %s; server on its wake event "
        "name squatted by nobody: exit %d%s\n",
        ownRefused ? "yes" : "NO", squatServerExit,
        squatHeld ? "" : " (squat not possible: the name is in use, another server runs)");
    EXPECT_TRUE(ownRefused);
    if (squatHeld) {
        EXPECT_TRUE(server_process::ExitIs(squatServerExit, -1)) << squatServerExit;
    } else {
        EXPECT_EQ(squatterExit, 101);
    }
}

TEST(ReliabilityIsolation, AnotherUserCannotReachClientsNorSendRequests) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the intruder as nobody";
    }
    const std::uint16_t controller = server_process::OwnController(6);
    std::uint32_t serverPid = 0;
    OsHandle server = StartServer(controller, &serverPid);
    ASSERT_NE(server, OS_NO_HANDLE);
    ASSERT_TRUE(WaitServing(controller));
    const std::string ready = UniqueName("isolation ready");
    const std::string result = TempPath("isolation");
    OsHandle readyEvent = OsCreateEvent(ready.c_str(), false, false);
    std::uint32_t victim = 0;
    OsHandle victimHandle = StartDrainer(controller, result, ready, &victim);
    ASSERT_NE(victimHandle, OS_NO_HANDLE);
    ASSERT_EQ(OsWaitForObject(readyEvent, 30000), OS_WAIT_OBJECT_0);

    const unsigned modes[] = {ModeOf("map", victim, BLOCK_NAME_SUFFIX),
                              ModeOf("evt", victim, BLOCK_LOCK_NAME_SUFFIX),
                              ModeOf("evt", victim, CLIENT_WAKE_NAME_SUFFIX)};
    const int in = WaitChild(
        SpawnChild("chaos_intruder", {std::to_string(controller), std::to_string(victim)}), 60000);

    // The server is still there, and still the only one that stops it.
    std::uint32_t count = 0;
    EXPECT_EQ(Request(controller, KQVXI_CMD_SWEEP, &count), KQVXI_OK);
    EXPECT_EQ(count, 1u);
    ASSERT_TRUE(kqvxi_inject_level(controller, STORM_INDEX, STORM_LEVEL, SENTINEL) ==
                KQVXI_INJECT_OK);
    EXPECT_EQ(WaitChild(victimHandle, 30000), 0);
    ReadDrainResult(result, 0);
    EXPECT_EQ(Request(controller, KQVXI_CMD_STOP), KQVXI_OK);
    EXPECT_EQ(WaitChild(server, 20000), 0);

    std::printf(
        "[isolation] client objects' modes %03o %03o %03o; ways in for nobody: %d "
        "(0 = none)\n",
        modes[0], modes[1], modes[2], in);
    for (unsigned m : modes) {
        EXPECT_EQ(m, 0600u);
    }
    EXPECT_EQ(in, 0) << "bits: 1 block, 2 wake event, 4 lock event, 8 request, 16 stop, "
                        "32 inject, 64 server wake event";
    OsCloseHandle(readyEvent);
}

}  // namespace
