// Processes of another user against the server's and its clients' objects: an
// intruder running as `nobody` that looks for them in our object directory
// cannot open a client's block or wake event, cannot send requests or inject
// events (the simulated board's shared state is the request channel), and
// cannot create a name there first, the server's wake event name included. A
// directory it put at our directory's name first is passed over, not adopted:
// the server still serves.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "chaos_support.h"
#include "driver/kqvxint.h"
#include "kqvxi/client.h"
#include "kqvxi/events.h"
#include "kqvxi/inject.h"
#include "platform/event.h"
#include "platform/mapping.h"
#include "platform/posix/shm_path.h"
#include "platform/process.h"
#include "queue/block.h"
#include "queue/lifecycle.h"
#include "support/server_process.h"
#include "support/child.h"

namespace {

using namespace chaos;

constexpr uid_t NOBODY = 65534;
constexpr const char* SERVER_WAKE_NAME = SERVER_WAKE_EVENT_NAME;

// Becomes nobody, looking for named objects where the user that started it
// keeps them: as nobody it would otherwise only ever see its own directory.
bool BecomeNobody() {
    const std::string owner = std::to_string(geteuid());
    return setenv("KQVXI_SERVICE_USER", owner.c_str(), 1) == 0 && setgroups(0, nullptr) == 0 &&
           setgid(NOBODY) == 0 && setuid(NOBODY) == 0 && geteuid() == NOBODY;
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

// Squatter: args event name, flag file path. Creates the named event as nobody
// in our object directory, says so by creating the file, and keeps it. 100: not
// nobody; 101: the name could not be had.
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

// Mode bits of the file behind a client object in the object directory.
unsigned ModeOf(const char* kind, std::uint32_t pid, const char* suffix) {
    char name[CLIENT_OBJECT_NAME_SIZE];
    FormatClientObjectName(name, pid, suffix);
    char path[512];
    struct stat st {};
    if (!px_shm_path(kind, name, path, sizeof path) || stat(path, &st) != 0) {
        return 0xFFFFu;
    }
    return st.st_mode & 0777u;
}

// Planter: args directory paths. Makes each as nobody (0700) and exits 0 when
// all were made; 100: not nobody; 102: a directory could not be made.
KQ_CHILD_ROLE(chaos_planter) {
    if (!BecomeNobody()) {
        return 100;
    }
    for (const std::string& dir : args) {
        if (mkdir(dir.c_str(), 0700) != 0) {
            return 102;
        }
    }
    return 0;
}

// Client of a server of another namespace (the one inherited): args controller.
// Waits until the server answers, asks for its client count and stops it. 0 when
// all of that worked.
KQ_CHILD_ROLE(chaos_stop_server) {
    if (args.size() != 1) {
        return 100;
    }
    const auto controller = static_cast<std::uint16_t>(std::stoul(args[0]));
    std::uint32_t count = 99;
    if (!WaitServing(controller) || Request(controller, KQVXI_CMD_SWEEP, &count) != KQVXI_OK ||
        count != 0) {
        return 1;
    }
    return Request(controller, KQVXI_CMD_STOP) == KQVXI_OK ? 0 : 2;
}

// Runs fn with KQVXI_NAMESPACE set to word, for the children it starts; this
// process keeps the directory it resolved before.
template <typename Fn>
void WithChildNamespace(const std::string& word, Fn fn) {
    char dir[512];
    ASSERT_TRUE(px_shm_dir_path(dir, sizeof dir));  // resolved, so kept from here on
    const char* was = std::getenv("KQVXI_NAMESPACE");
    const std::string saved = was != nullptr ? was : "";
    setenv("KQVXI_NAMESPACE", word.c_str(), 1);
    fn();
    if (was != nullptr) {
        setenv("KQVXI_NAMESPACE", saved.c_str(), 1);
    } else {
        unsetenv("KQVXI_NAMESPACE");
    }
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

TEST(ReliabilityIsolation, NamesAndDirectoriesAnotherUserMadeFirstAreNotAdopted) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the squatter and the planter as nobody";
    }
    const std::uint16_t controller = server_process::OwnController(6);
    // Squatting in our directory: a name of this test, and the server's wake event
    // name while no server runs. Neither can be had.
    Squat own(UniqueName("isolation squat"));
    const bool ownHeld = own.held;
    const int ownExit = own.End();
    Squat serverName(SERVER_WAKE_NAME);
    const bool serverNameHeld = serverName.held;
    const int serverNameExit = serverName.End();

    // Planting: the first two candidate directories of a fresh namespace, made
    // by nobody before any process of ours looked. A server started in that
    // namespace passes over them and serves from the next candidate.
    char ours[512];
    ASSERT_TRUE(px_shm_dir_path(ours, sizeof ours));
    const std::string base = std::string(ours).substr(0, std::string(ours).find_last_of('/'));
    const std::string word = "kqtest-plant-" + std::to_string(getpid());
    const std::string stem = base + "/kqvxi-" + std::to_string(geteuid()) + "." + word;
    const std::string planted[] = {stem, stem + "~1"};
    const int plantExit = WaitChild(SpawnChild("chaos_planter", {planted[0], planted[1]}), 20000);
    int serverExit = 1000, clientExit = 1000;
    WithChildNamespace(word, [&] {
        OsHandle server = StartServer(controller, nullptr);
        ASSERT_NE(server, OS_NO_HANDLE);
        clientExit =
            WaitChild(SpawnChild("chaos_stop_server", {std::to_string(controller)}), 60000);
        serverExit = WaitChild(server, 20000);
    });
    struct stat st {};
    const bool servedFromNext = stat((stem + "~2").c_str(), &st) == 0 && st.st_uid == geteuid();
    for (const std::string& dir : {planted[0], planted[1], stem + "~2"}) {
        rmdir(dir.c_str());  // all empty: nothing of ours went into nobody's
    }

    std::printf(
        "[isolation] nobody creating names in our directory: this test's %s (exit %d), the "
        "server's wake event %s (exit %d); nobody's directories at our first two candidate "
        "names: planted (exit %d), server served from the next one: %s (client %d, server "
        "exit %d)\n",
        ownHeld ? "HELD" : "refused", ownExit, serverNameHeld ? "HELD" : "refused", serverNameExit,
        plantExit, servedFromNext ? "yes" : "NO", clientExit, serverExit);
    EXPECT_FALSE(ownHeld);
    EXPECT_EQ(ownExit, 101);
    EXPECT_FALSE(serverNameHeld);
    EXPECT_EQ(serverNameExit, 101);
    EXPECT_EQ(plantExit, 0);
    EXPECT_EQ(clientExit, 0);
    EXPECT_EQ(serverExit, 0);
    EXPECT_TRUE(servedFromNext);
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
