// The shared pieces of the chaos tests (see chaos_support.h).
#include "chaos_support.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <thread>

#include "kqvxi/client.h"
#include "kqvxi/events.h"
#include "kqvxi/inject.h"
#include "platform/event.h"
#include "platform/posix/shm_path.h"
#include "platform/process.h"
#include "support/server_process.h"
#include "support/child.h"

namespace chaos {

const char* Sanitizer() {
    return KQ_CHAOS_SANITIZER;
}

OsHandle StartServer(std::uint16_t controller, std::uint32_t* pid) {
    const std::string exe = server_process::ServerPath();
    const std::string number = std::to_string(controller);
    const char* args[] = {number.c_str(), nullptr};
    return OsSpawnProcess(exe.c_str(), args, pid);
}

bool WaitServing(std::uint16_t controller, std::uint32_t limitMs) {
    return server_process::WaitServing(controller, limitMs);
}

int RegisterForStorm(std::uint16_t controller) {
    if (Request(controller, KQVXI_CMD_REGISTER) != KQVXI_OK) {
        return -1;
    }
    std::uint32_t code = KQVXI_EVENT_CODE(7);
    std::uint32_t index = STORM_INDEX;
    std::uint32_t bits = 1u << (STORM_LEVEL - 1);
    return Request(controller, KQVXI_CMD_ENABLE, &code, &index, &bits);
}

// Drainer: args controller, result path, ready event name. Takes the storm's
// records until the sentinel and checks that they come as 0, 1, 2, ...
KQ_CHILD_ROLE(chaos_drainer) {
    if (args.size() != 3) {
        return 2;
    }
    const auto controller = static_cast<std::uint16_t>(std::stoul(args[0]));
    kqvxi_queue* queue = kqvxi_queue_open();
    if (queue == nullptr || RegisterForStorm(controller) != KQVXI_OK) {
        return 3;
    }
    OsHandle ready = OsCreateEvent(args[2].c_str(), false, false);
    OsSetEvent(ready);
    long long received = 0, errors = 0, maxGapUs = 0, badExpected = 0, badGot = 0;
    long long overflowLost = 0;
    bool fullSeen = false;  // a drain since the last check found the ring full
    std::uint32_t expected = 0;
    bool done = false;
    Clock::time_point last{};
    const Clock::time_point start = Clock::now();
    const long long limitMs = Soak() ? 3600000 : 600000;
    while (!done && MsSince(start) < limitMs) {
        kqvxi_queue_wait(queue, 200);
        kqvxi_record batch[128];
        int n = 0;
        while ((n = kqvxi_queue_drain(queue, batch, 128)) > 0) {
            const Clock::time_point now = Clock::now();
            // The pause before the sentinel is the injector's, not a stall.
            const bool onlySentinel =
                batch[0].code == KQVXI_EVENT_CODE(7) && batch[0].arg3 == SENTINEL;
            if (received > 0 && !onlySentinel) {
                long long gap =
                    std::chrono::duration_cast<std::chrono::microseconds>(now - last).count();
                maxGapUs = gap > maxGapUs ? gap : maxGapUs;
            }
            last = now;
            // 99 records at once: the ring was full, so the server had to drop
            // what came meanwhile (this process was not run in time).
            fullSeen = fullSeen || n >= 99;
            for (int i = 0; i < n; ++i) {
                const kqvxi_record& r = batch[i];
                if (r.code != KQVXI_EVENT_CODE(7)) {
                    continue;
                }
                if (r.arg3 == SENTINEL) {
                    done = true;
                    break;
                }
                ++received;
                if (r.arg3 > expected && fullSeen) {
                    overflowLost += r.arg3 - expected;
                } else if (r.arg3 != expected) {
                    if (errors == 0) {
                        badExpected = expected;
                        badGot = r.arg3;
                    }
                    ++errors;
                }
                expected = r.arg3 + 1;
                if (i >= 1) {
                    fullSeen = n >= 99;
                }
            }
        }
    }
    Request(controller, KQVXI_CMD_UNREGISTER);
    kqvxi_queue_close(queue);
    std::FILE* out = std::fopen(args[1].c_str(), "w");
    if (out == nullptr) {
        return 4;
    }
    std::fprintf(out, "%lld %lld %lld %lld %lld %lld %lu %d\n", received, errors, maxGapUs,
                 badExpected, badGot, overflowLost, static_cast<unsigned long>(expected),
                 fullSeen ? 1 : 0);
    std::fclose(out);
    return done ? 0 : 5;
}

OsHandle StartDrainer(std::uint16_t controller, const std::string& resultPath,
                      const std::string& readyName, std::uint32_t* pid) {
    return SpawnChild("chaos_drainer", {std::to_string(controller), resultPath, readyName}, pid);
}

DrainResult ReadDrainResult(const std::string& resultPath, long long accepted) {
    DrainResult r;
    long long nextExpected = 0, fullAtEnd = 0;
    std::ifstream in(resultPath);
    in >> r.received >> r.errors >> r.maxGapUs >> r.firstBadExpected >> r.firstBadGot >>
        r.overflowLost >> nextExpected >> fullAtEnd;
    std::remove(resultPath.c_str());
    if (in && accepted > nextExpected) {
        if (fullAtEnd != 0) {
            r.overflowLost += accepted - nextExpected;
        } else {
            if (r.errors == 0) {
                r.firstBadExpected = nextExpected;
                r.firstBadGot = -1;  // the sentinel
            }
            ++r.errors;
        }
    }
    return r;
}

void Injector::Run() {
    const Clock::time_point start = Clock::now();
    std::uint32_t seq = 0;
    Clock::time_point lastPass = start;
    Clock::time_point firstRefusal{};
    bool refusing = false;
    auto ms = [](Clock::duration d) {
        return static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
    };
    while (!stop.load()) {
        const Clock::time_point now = Clock::now();
        longestPauseMs = std::max(longestPauseMs, ms(now - lastPass));
        lastPass = now;
        // Attempts due by now at the target rate; a late thread catches up in
        // bursts of at most one event queue's worth.
        const long long due = MsSince(start) * ratePerSecond / 1000;
        int burst = 0;
        while (attempts.load() < due && burst < 64) {
            ++burst;
            attempts.fetch_add(1);
            if (kqvxi_inject_level(controller, STORM_INDEX, STORM_LEVEL, seq) == KQVXI_INJECT_OK) {
                ++seq;
                accepted.fetch_add(1);
                if (refusing) {
                    longestRefusalMs = std::max(longestRefusalMs, ms(Clock::now() - firstRefusal));
                    refusing = false;
                }
            } else {
                refused.fetch_add(1);
                if (!refusing) {
                    firstRefusal = Clock::now();
                    refusing = true;
                }
                break;  // the queue is full: no use trying again before the next pass
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    elapsedMs = MsSince(start);
}

bool Injector::Finish() {
    // Once the drainers have emptied their rings, so that the sentinel cannot
    // meet a full ring (the drainers do not count the pause as a gap).
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const Clock::time_point start = Clock::now();
    while (MsSince(start) < 20000) {
        if (kqvxi_inject_level(controller, STORM_INDEX, STORM_LEVEL, SENTINEL) == KQVXI_INJECT_OK) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

namespace {
int CountDir(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        return -1;
    }
    int n = 0;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.') {
            ++n;
        }
    }
    closedir(dir);
    return n;
}
}  // namespace

int CountFds(std::uint32_t pid) {
    return CountDir("/proc/" + std::to_string(pid) + "/fd");
}

// The object directory with a trailing slash, so that a sibling directory whose
// name merely starts with ours ("~1", a longer namespace) is not counted.
std::string ObjectDirPrefix() {
    char dir[512];
    if (!px_shm_dir_path(dir, sizeof dir)) {
        return {};
    }
    return std::string(dir) + "/";
}

int CountShmMappings(std::uint32_t pid) {
    const std::string prefix = ObjectDirPrefix();
    if (prefix.empty()) {
        return -1;
    }
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::string line;
    int n = 0;
    while (std::getline(maps, line)) {
        if (line.find(prefix) != std::string::npos) {
            ++n;
        }
    }
    return n;
}

int CountClientObjects(std::uint32_t pid) {
    char needle[32];
    std::snprintf(needle, sizeof needle, ".X%xKQ", pid);
    char path[512];
    if (!px_shm_dir_path(path, sizeof path)) {
        return -1;
    }
    DIR* dir = opendir(path);
    if (dir == nullptr) {
        return -1;
    }
    int n = 0;
    while (dirent* e = readdir(dir)) {
        if (std::string(e->d_name).find(needle) != std::string::npos) {
            ++n;
        }
    }
    closedir(dir);
    return n;
}

std::string HoldersOfClientObjects(std::uint32_t pid) {
    char needle[32];
    std::snprintf(needle, sizeof needle, ".X%xKQ", pid);
    std::string found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return found;
    }
    while (dirent* p = readdir(proc)) {
        if (p->d_name[0] < '0' || p->d_name[0] > '9') {
            continue;
        }
        const std::string fdDir = std::string("/proc/") + p->d_name + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (fds == nullptr) {
            continue;
        }
        while (dirent* f = readdir(fds)) {
            char target[512];
            const std::string link = fdDir + "/" + f->d_name;
            ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n > 0) {
                target[n] = 0;
                if (std::string(target).find(needle) != std::string::npos) {
                    found += std::string(p->d_name) + ":" + target + " ";
                }
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return found;
}

std::string TempPath(const std::string& tag) {
    return "/tmp/kqchaos." + std::to_string(OsCurrentProcessId()) + "." + tag;
}

}  // namespace chaos
