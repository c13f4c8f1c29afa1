// The POSIX object directory under attack: names another user squats or plants,
// a full file system, a creation lock held by someone else, an event record
// written by someone else, and namespaces that keep names apart. Every case runs
// in a private base directory or namespace, never among a live system's objects.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/mapping.h"
#include "platform/named_mutex.h"
#include "platform/posix/shm_path.h"
#include "platform/process.h"
#include "support/child.h"

extern char** environ;

namespace {

constexpr uid_t NOBODY = 65534;

// This process's own objects live in a namespace of their own; a role started by
// RunRole keeps the one (or none: empty) that it was given.
const bool privateNamespace = setenv("KQVXI_NAMESPACE", "test-platform-names", 0) == 0;

// Removes this process's namespace directory after the tests, when empty.
struct NamespaceCleanup : ::testing::Environment {
    void TearDown() override {
        char dir[1024];
        if (px_shm_dir_path(dir, sizeof dir)) {
            rmdir(dir);
        }
    }
};
::testing::Environment* const namespaceCleanup =
    ::testing::AddGlobalTestEnvironment(new NamespaceCleanup);

// Names a client (of pid 0x1234), the server and the simulated board open.
const char* const SYSTEM_NAMES[] = {
    "KQ-VXI Intr Proc Event",     "KQVXINT Sim Board State",     "KQVXINT Sim Board Lock",
    "KQVXINT Sim Request Lock 7", "KQVXI Wait Object",           "X1234KQVXI IPC Glbl Mem",
    "X1234KQVXI IPC Wait Evt",    "X1234KQ-VXI Intr Proc Event",
};
const char* const KINDS[] = {"map", "evt", "mtx"};

// The escaped form of a name in the object's file name.
std::string Escaped(const char* name) {
    std::string out;
    for (const char* p = name; *p != 0; ++p) {
        char c = *p;
        bool plain = std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
        if (plain) {
            out += c;
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02x", static_cast<unsigned char>(c));
            out += hex;
        }
    }
    return out;
}

long long MsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 t0)
        .count();
}

// A directory standing in for /dev/shm: world-writable and sticky like it.
struct PrivateBase {
    std::string path;
    PrivateBase() {
        char tmpl[] = "/dev/shm/kqvxi-test-base.XXXXXX";
        if (mkdtemp(tmpl) != nullptr) {
            path = tmpl;
            chmod(tmpl, 01777);
        }
    }
    ~PrivateBase() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

// Runs this binary as role in a forked child, with extra environment entries
// (KQVXI_* of this process dropped) and beforeExec run in the child first.
// Returns the exit code, or 1000 + signal when the child was killed by one.
template <typename BeforeExec>
int RunRole(const std::vector<std::string>& env, const std::string& role,
            const std::vector<std::string>& args, BeforeExec beforeExec, pid_t* started = nullptr) {
    char exe[4096];
    if (!OsSelfExePath(exe, sizeof exe)) {
        return -1;
    }
    std::vector<std::string> envText;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "KQVXI_", 6) != 0) {
            envText.emplace_back(*e);
        }
    }
    bool namespaced = false;
    for (const std::string& e : env) {
        namespaced = namespaced || e.rfind("KQVXI_NAMESPACE=", 0) == 0;
    }
    if (!namespaced) {
        envText.emplace_back("KQVXI_NAMESPACE=");  // none
    }
    envText.insert(envText.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (std::string& s : envText) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> argText{exe, "--kq-child", role};
    argText.insert(argText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : argText) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int early = beforeExec();
        if (early != 0) {
            _exit(early);
        }
        // A role left running (a holder) ends with this test process; set after
        // beforeExec, whose change of user would clear it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        execve(exe, argv.data(), envp.data());
        _exit(127);
    }
    if (started != nullptr) {
        *started = pid;
        return 0;
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status)     ? WEXITSTATUS(status)
           : WIFSIGNALED(status) ? 1000 + WTERMSIG(status)
                                 : -1;
}

int Nothing() {
    return 0;
}

// Checks one object file: a regular file of ours with mode 0600. 0 when so.
int CheckObjectFile(const char* kind, const char* name) {
    char path[2048];
    struct stat st {};
    if (!px_shm_path(kind, name, path, sizeof path) || lstat(path, &st) != 0) {
        return 1;
    }
    return S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 07777) == 0600 ? 0 : 2;
}

}  // namespace

// args: expected directory name. Opens every system name as every kind, checks
// each is new, ours, 0600, inside a 0700 directory of ours of that name.
KQ_CHILD_ROLE(open_system_names) {
    std::vector<OsHandle> held;
    for (const char* name : SYSTEM_NAMES) {
        bool a = true, b = true;
        held.push_back(OsCreateMapping(name, 4096, &a));
        held.push_back(OsCreateEvent(name, false, false, &b));
        held.push_back(OsCreateMutex(name));
        for (std::size_t i = held.size() - 3; i < held.size(); ++i) {
            if (held[i] == OS_NO_HANDLE) {
                std::fprintf(stderr, "open of %s failed: %s\n", name, std::strerror(errno));
                return 10;
            }
        }
        if (a || b) {
            return 11;  // a squatter's object was adopted
        }
        for (const char* kind : KINDS) {
            if (CheckObjectFile(kind, name) != 0) {
                std::fprintf(stderr, "%s %s: wrong file\n", kind, name);
                return 12;
            }
        }
    }
    char dir[1024];
    struct stat st {};
    if (!px_shm_dir_path(dir, sizeof dir) || lstat(dir, &st) != 0) {
        return 13;
    }
    std::string expected = args.at(0);
    std::string got = dir;
    if (got.size() < expected.size() ||
        got.compare(got.size() - expected.size(), expected.size(), expected) != 0) {
        std::fprintf(stderr, "directory %s, expected .../%s\n", dir, expected.c_str());
        return 14;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 07777) != 0700) {
        return 15;
    }
    for (OsHandle h : held) {
        OsCloseHandle(h);
    }
    return 0;
}

// args: name. Every kind of that name must be refused, promptly.
KQ_CHILD_ROLE(open_refused) {
    const char* name = args.at(0).c_str();
    auto t0 = std::chrono::steady_clock::now();
    int opened = 0;
    opened |= OsCreateMapping(name, 4096, nullptr) != OS_NO_HANDLE ? 1 : 0;
    opened |= OsCreateEvent(name, false, false) != OS_NO_HANDLE ? 2 : 0;
    opened |= OsCreateMutex(name) != OS_NO_HANDLE ? 4 : 0;
    return opened == 0 && MsSince(t0) < 2000 ? 0 : 20 + opened;  // 21..27: which opened
}

// Another user squats every name in the base: the flat names of the old layout
// and each directory candidate but the last, as a directory, a file, a FIFO and
// a link to a directory of ours. Objects still open, ours and private, in the
// first free candidate; objects planted inside our directory are refused.
TEST(PlatformNames, SquattersAndPlantedObjectsStopNothing) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to squat as user nobody and plant as another user";
    }
    PrivateBase base;
    ASSERT_FALSE(base.path.empty());
    const std::string stem = "kqvxi-" + std::to_string(geteuid());
    // A directory of ours, 0700, that a link could lead us into.
    const std::string decoy = base.path + "/decoy";
    ASSERT_EQ(mkdir(decoy.c_str(), 0700), 0);

    int squatted = RunRole({}, "none", {}, [&] {
        if (setgid(NOBODY) != 0 || setuid(NOBODY) != 0) {
            return 90;
        }
        umask(0);
        int made = 0;
        // Flat names of every kind, in each form.
        int form = 0;
        for (const char* name : SYSTEM_NAMES) {
            for (const char* kind : KINDS) {
                std::string p = base.path + "/kqvxi." + kind + "." + Escaped(name);
                switch (form++ % 4) {
                    case 0:
                        made += mkdir(p.c_str(), 0777) == 0;
                        break;
                    case 1: {
                        int fd = open(p.c_str(), O_CREAT | O_WRONLY, 0666);
                        made += fd >= 0;
                        close(fd);
                        break;
                    }
                    case 2:
                        made += mkfifo(p.c_str(), 0666) == 0;
                        break;
                    default:
                        made += symlink(decoy.c_str(), p.c_str()) == 0;
                }
            }
        }
        // Directory candidates 0 to 3, one form each.
        made += mkdir((base.path + "/" + stem).c_str(), 0777) == 0;
        int fd = open((base.path + "/" + stem + "~1").c_str(), O_CREAT | O_WRONLY, 0666);
        made += fd >= 0;
        close(fd);
        made += mkfifo((base.path + "/" + stem + "~2").c_str(), 0666) == 0;
        made += symlink(decoy.c_str(), (base.path + "/" + stem + "~3").c_str()) == 0;
        // Ends here: the squatter has no role to run.
        _exit(made == 4 + 3 * static_cast<int>(std::size(SYSTEM_NAMES)) ? 0 : 91);
        return 0;
    });
    ASSERT_EQ(squatted, 0) << "the squatter could not take every name";

    const std::vector<std::string> env{"KQVXI_SHM_DIR=" + base.path};
    EXPECT_EQ(RunRole(env, "open_system_names", {stem + "~4"}, Nothing), 0);
    // A second process of ours agrees on the directory.
    EXPECT_EQ(RunRole(env, "open_system_names", {stem + "~4"}, Nothing), 0);

    // Planted inside our directory by root acting as another user: a file of
    // nobody, a file of ours open to the world, a link and a FIFO.
    const std::string dir = base.path + "/" + stem + "~4/";
    const std::string planted = "planted";
    {
        std::string p = dir + "kqvxi.map." + planted;
        int fd = open(p.c_str(), O_CREAT | O_RDWR, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(fchown(fd, NOBODY, NOBODY), 0);
        ASSERT_EQ(ftruncate(fd, 4096), 0);
        close(fd);
        p = dir + "kqvxi.evt." + planted;
        fd = open(p.c_str(), O_CREAT | O_RDWR, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(fchmod(fd, 0606), 0);
        close(fd);
        ASSERT_EQ(mkfifo((dir + "kqvxi.mtx." + planted).c_str(), 0600), 0);
    }
    EXPECT_EQ(RunRole(env, "open_refused", {planted}, Nothing), 0);
    ASSERT_EQ(unlink((dir + "kqvxi.mtx." + planted).c_str()), 0);
    ASSERT_EQ(
        symlink((dir + "kqvxi.map." + planted).c_str(), (dir + "kqvxi.mtx." + planted).c_str()), 0);
    EXPECT_EQ(RunRole(env, "open_refused", {planted}, Nothing), 0) << "a link was followed";
}

// Creates events and 16 KiB mappings (written whole through a view) until the
// file system is full. 0 when creation failed with an error for both kinds.
KQ_CHILD_ROLE(fill_file_system) {
    (void)args;
    int eventsMade = 0, mappingsMade = 0, eventErr = 0, mappingErr = 0;
    for (int i = 0; i < 4096; ++i) {
        std::string name = "fill map " + std::to_string(i);
        OsHandle m = OsCreateMapping(name.c_str(), 16384, nullptr);
        if (m == OS_NO_HANDLE) {
            mappingErr = errno;
            break;
        }
        void* view = OsMapView(m, 16384);
        if (view == nullptr) {
            mappingErr = -1;
            break;
        }
        std::memset(view, 0x5a, 16384);  // every page is there: no SIGBUS
        ++mappingsMade;
    }
    for (int i = 0; i < 4096; ++i) {
        std::string name = "fill evt " + std::to_string(i);
        if (OsCreateEvent(name.c_str(), false, false) == OS_NO_HANDLE) {
            eventErr = errno;
            break;
        }
        ++eventsMade;
    }
    std::printf("full file system: %d mappings then %d events made; errors %s / %s\n", mappingsMade,
                eventsMade, std::strerror(mappingErr), std::strerror(eventErr));
    return mappingErr != 0 && eventErr != 0 ? 0 : 30;
}

// A tmpfs of a few pages over /dev/shm in a mount namespace of its own: creating
// objects until it is full fails with an error; the process never sees SIGBUS.
TEST(PlatformNames, AFullFileSystemIsAnErrorNotSigbus) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for a private mount namespace";
    }
    int result = RunRole({}, "fill_file_system", {}, [] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return 77;
        }
        if (mount("kqvxi-test", "/dev/shm", "tmpfs", 0, "size=96k,mode=1777") != 0) {
            return 78;
        }
        return 0;
    });
    if (result == 77 || result == 78) {
        GTEST_SKIP() << "no private mount namespace or tmpfs here";
    }
    EXPECT_NE(result, 1000 + SIGBUS) << "a full file system raised SIGBUS";
    EXPECT_EQ(result, 0);
}

// Another process holds the creation lock (byte 1) of an object: an open gives up
// within the bound with a failure, a close does not wait for it, and the object
// opens again once the holder is gone.
TEST(PlatformNames, AHeldCreationLockCostsABoundedWait) {
    const std::string name = UniqueName("busy");
    OsHandle mine = OsCreateMapping(name.c_str(), 4096, nullptr);
    ASSERT_NE(mine, OS_NO_HANDLE);
    char path[2048];
    ASSERT_TRUE(px_shm_path("map", name.c_str(), path, sizeof path));
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    if (holder == 0) {
        int fd = open(path, O_RDWR);
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = 1;
        fl.l_len = 1;
        char ok = fd >= 0 && fcntl(fd, F_OFD_SETLK, &fl) == 0 ? 'y' : 'n';
        (void)!write(ready[1], &ok, 1);
        sleep(5);  // longer than any bound the test accepts
        _exit(0);
    }
    ASSERT_GT(holder, 0);
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');

    auto t0 = std::chrono::steady_clock::now();
    OsHandle second = OsCreateMapping(name.c_str(), 4096, nullptr);
    long long openMs = MsSince(t0);
    EXPECT_EQ(second, OS_NO_HANDLE) << "opened through a lock another process holds";
    t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(OsCloseHandle(mine));
    long long closeMs = MsSince(t0);
    std::printf("open of a busy object failed after %lld ms, close took %lld ms\n", openMs,
                closeMs);
    EXPECT_LT(openMs, 2000);
    EXPECT_LT(closeMs, 2000);

    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    bool existed = true;
    OsHandle again = OsCreateMapping(name.c_str(), 4096, &existed);
    ASSERT_NE(again, OS_NO_HANDLE);
    EXPECT_FALSE(existed) << "the last holder is gone: the object starts afresh";
    OsCloseHandle(again);
}

// Another process writes 0 over an event's waiter count while a thread sleeps in
// a wait: the set that follows skips the wake, yet the waiter returns within one
// slice of its sleep, for either kind of event.
TEST(PlatformNames, AnOverwrittenWaiterCountCostsOneSlice) {
    for (bool manual : {false, true}) {
        const std::string name = UniqueName(manual ? "deaf manual" : "deaf auto");
        OsHandle ev = OsCreateEvent(name.c_str(), manual, false);
        ASSERT_NE(ev, OS_NO_HANDLE);
        std::uint32_t result = 0;
        std::thread waiter([&] { result = OsWaitForObject(ev, 10000); });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));

        char path[2048];
        ASSERT_TRUE(px_shm_path("evt", name.c_str(), path, sizeof path));
        int fd = open(path, O_RDWR);
        ASSERT_GE(fd, 0);
        void* rec = mmap(nullptr, 16, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ASSERT_NE(rec, MAP_FAILED);
        close(fd);
        static_cast<volatile std::uint32_t*>(rec)[1] = 0;  // the waiters word

        auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(OsSetEvent(ev));
        waiter.join();
        long long ms = MsSince(t0);
        std::printf("%s event: waiter woke %lld ms after the set\n", manual ? "manual" : "auto",
                    ms);
        EXPECT_EQ(result, OS_WAIT_OBJECT_0);
        EXPECT_LT(ms, 2000) << "the waiter slept past its slice";
        munmap(rec, 16);
        OsCloseHandle(ev);
    }
}

// args: name. Creates a mapping of name, marks it with the namespace's first
// letter, and holds it until killed.
KQ_CHILD_ROLE(hold_marked) {
    OsHandle m = OsCreateMapping(args.at(0).c_str(), 4096, nullptr);
    char* view = m != OS_NO_HANDLE ? static_cast<char*>(OsMapView(m, 4096)) : nullptr;
    if (view == nullptr) {
        return 40;
    }
    const char* word = std::getenv("KQVXI_NAMESPACE");
    view[0] = word != nullptr && *word != 0 ? word[0] : 'x';
    std::printf("ready\n");
    std::fflush(stdout);
    pause();
    return 0;
}

// args: name, expected marker ('-': expected new). 0 when the mapping matched.
KQ_CHILD_ROLE(check_marked) {
    bool existed = false;
    OsHandle m = OsCreateMapping(args.at(0).c_str(), 4096, &existed);
    char* view = m != OS_NO_HANDLE ? static_cast<char*>(OsMapView(m, 4096)) : nullptr;
    if (view == nullptr) {
        return 50;
    }
    char want = args.at(1)[0];
    if (want == '-') {
        return !existed && view[0] == 0 ? 0 : 51;
    }
    return existed && view[0] == want ? 0 : 52;
}

// One name in two namespaces is two objects; the same namespace shares one.
TEST(PlatformNames, NamespacesKeepTheSameNameApart) {
    PrivateBase base;
    ASSERT_FALSE(base.path.empty());
    const std::string name = UniqueName("ns");
    const std::string baseEnv = "KQVXI_SHM_DIR=" + base.path;
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t holder = -1;
    RunRole(
        {baseEnv, "KQVXI_NAMESPACE=alpha"}, "hold_marked", {name},
        [&] { return dup2(out[1], 1) == 1 ? 0 : 60; }, &holder);
    ASSERT_GT(holder, 0);
    close(out[1]);
    char line[8] = {};
    ASSERT_GT(read(out[0], line, sizeof line - 1), 0);
    close(out[0]);
    ASSERT_STREQ(line, "ready\n");

    EXPECT_EQ(RunRole({baseEnv, "KQVXI_NAMESPACE=beta"}, "check_marked", {name, "-"}, Nothing), 0)
        << "another namespace saw alpha's object";
    EXPECT_EQ(RunRole({baseEnv, "KQVXI_NAMESPACE=alpha"}, "check_marked", {name, "a"}, Nothing), 0)
        << "the same namespace did not share the object";
    EXPECT_EQ(RunRole({baseEnv}, "check_marked", {name, "-"}, Nothing), 0)
        << "no namespace saw alpha's object";
    // Words outside [A-Za-z0-9-] are escaped into one directory name.
    EXPECT_EQ(RunRole({baseEnv, "KQVXI_NAMESPACE=a/b"}, "check_marked", {name, "-"}, Nothing), 0);
    const std::string uid = std::to_string(geteuid());
    struct stat st {};
    EXPECT_EQ(lstat((base.path + "/kqvxi-" + uid + ".alpha").c_str(), &st), 0);
    EXPECT_EQ(lstat((base.path + "/kqvxi-" + uid + ".beta").c_str(), &st), 0);
    EXPECT_EQ(lstat((base.path + "/kqvxi-" + uid + ".a_2fb").c_str(), &st), 0);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
}

// args: name, "new" or "old". Opens a mapping of name; 0 when it opened and was
// new or old as told, and its file carries the service group with mode 0660.
KQ_CHILD_ROLE(open_grouped) {
    bool existed = false;
    OsHandle m = OsCreateMapping(args.at(0).c_str(), 4096, &existed);
    if (m == OS_NO_HANDLE) {
        std::fprintf(stderr, "grouped open as %d: %s\n", static_cast<int>(geteuid()),
                     std::strerror(errno));
        return 70;
    }
    if (existed != (args.at(1) == "old")) {
        return 71;
    }
    char path[2048];
    struct stat st {};
    if (!px_shm_path("map", args.at(0).c_str(), path, sizeof path) || lstat(path, &st) != 0) {
        return 72;
    }
    return st.st_gid == NOBODY && (st.st_mode & 07777) == 0660 ? 0 : 73;
}

// With a service group, a client of another user in the group opens the owner's
// objects and creates its own that the owner opens; a user outside is refused.
TEST(PlatformNames, AServiceGroupSharesObjectsWithItsMembersOnly) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run clients as other users";
    }
    PrivateBase base;
    ASSERT_FALSE(base.path.empty());
    const std::string owner = std::to_string(geteuid());
    const std::vector<std::string> env{"KQVXI_SHM_DIR=" + base.path, "KQVXI_SERVICE_USER=" + owner,
                                       "KQVXI_SERVICE_GROUP=" + std::to_string(NOBODY)};
    const auto as = [](uid_t uid, gid_t gid) {
        return [uid, gid] {
            umask(022);  // the usual one: modes must not depend on it
            return setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0 ? 0 : 80;
        };
    };
    const std::string ownerMade = UniqueName("grouped owner");
    const std::string clientMade = UniqueName("grouped client");
    pid_t holder = -1;
    // The owner's object stays held while the others look.
    RunRole(env, "hold_marked", {ownerMade}, Nothing, &holder);
    ASSERT_GT(holder, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    struct stat st {};
    const std::string dir = base.path + "/kqvxi-" + owner;
    ASSERT_EQ(lstat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0770u);
    EXPECT_EQ(st.st_gid, NOBODY);

    EXPECT_EQ(RunRole(env, "open_grouped", {ownerMade, "old"}, as(NOBODY, NOBODY)), 0);
    EXPECT_EQ(RunRole(env, "open_grouped", {clientMade, "new"}, as(NOBODY, NOBODY)), 0);
    EXPECT_EQ(RunRole(env, "open_grouped", {ownerMade, "old"}, as(NOBODY - 1, NOBODY - 1)), 70)
        << "a user outside the group reached the owner's object";
    // The owner opens what the member created (its file is the member's).
    const std::string memberFile = dir + "/kqvxi.map." + Escaped(clientMade.c_str());
    pid_t memberHolder = -1;
    RunRole(env, "hold_marked", {clientMade}, as(NOBODY, NOBODY), &memberHolder);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(lstat(memberFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, NOBODY);
    EXPECT_EQ(RunRole(env, "open_grouped", {clientMade, "old"}, Nothing), 0);
    kill(memberHolder, SIGKILL);
    waitpid(memberHolder, nullptr, 0);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
}
