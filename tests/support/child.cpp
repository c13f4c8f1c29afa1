// Child-process role registry, spawning and the shared test main.
#include "support/child.h"

#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>

#include "platform/event.h"
#include "platform/process.h"

namespace {
std::map<std::string, ChildRoleFn>& Roles() {
    static std::map<std::string, ChildRoleFn> roles;
    return roles;
}
}  // namespace

ChildRoleRegistrar::ChildRoleRegistrar(const char* role, ChildRoleFn fn) {
    Roles()[role] = fn;
}

OsHandle SpawnChild(const std::string& role, const std::vector<std::string>& args,
                    std::uint32_t* pid) {
    char exe[4096];
    if (!OsSelfExePath(exe, sizeof exe)) {
        return OS_NO_HANDLE;
    }
    std::vector<const char*> argv;
    argv.push_back("--kq-child");
    argv.push_back(role.c_str());
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    argv.push_back(nullptr);
    std::uint32_t childPid = 0;
    OsHandle h = OsSpawnProcess(exe, argv.data(), &childPid);
    if (pid != nullptr) {
        *pid = childPid;
    }
    return h;
}

int WaitChild(OsHandle child, std::uint32_t timeoutMs) {
    if (child == OS_NO_HANDLE) {
        return -1001;
    }
    int result = -1000;
    if (OsWaitForObject(child, timeoutMs) == OS_WAIT_OBJECT_0) {
        std::uint32_t code = 0;
        if (OsGetExitCodeProcess(child, &code)) {
            result = static_cast<int>(code);
        }
    } else {
        OsKillProcess(child);
        OsWaitForObject(child, 5000);
    }
    OsCloseHandle(child);
    return result;
}

std::string UniqueName(const std::string& stem) {
    static std::atomic<unsigned> counter{0};
    auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    char buf[128];
    std::snprintf(buf, sizeof buf, "kqtest %s %u %u %llx", stem.c_str(), OsCurrentProcessId(),
                  counter.fetch_add(1), static_cast<unsigned long long>(now));
    return buf;
}

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--kq-child") == 0) {
        auto it = Roles().find(argv[2]);
        if (it == Roles().end()) {
            std::fprintf(stderr, "unknown child role %s\n", argv[2]);
            return 99;
        }
        std::vector<std::string> args(argv + 3, argv + argc);
        return it->second(args);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

ReadyChild StartReady(const std::string& role, const std::vector<std::string>& args,
                      const std::string& readyName, std::uint32_t readyMs) {
    OsHandle ready = OsCreateEvent(readyName.c_str(), false, false);
    ReadyChild c;
    c.handle = SpawnChild(role, args, &c.pid);
    if (c.handle != OS_NO_HANDLE && OsWaitForObject(ready, readyMs) != OS_WAIT_OBJECT_0) {
        OsKillProcess(c.handle);
        WaitChild(c.handle, 10000);
        c.handle = OS_NO_HANDLE;
    }
    OsCloseHandle(ready);
    return c;
}
