// Child-process roles for cross-process tests. A test binary runs a role when
// started as "<exe> --kq-child <role> [args...]"; otherwise it runs its tests.
// Roles are registered with KQ_CHILD_ROLE and started with SpawnChild.
#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include "platform/types.h"

using ChildRoleFn = int (*)(const std::vector<std::string>& args);

struct ChildRoleRegistrar {
    ChildRoleRegistrar(const char* role, ChildRoleFn fn);
};

#define KQ_CHILD_ROLE(role)                                                     \
    static int KqChildRole_##role(const std::vector<std::string>& args);        \
    static ChildRoleRegistrar kqChildRoleReg_##role(#role, KqChildRole_##role); \
    static int KqChildRole_##role(const std::vector<std::string>& args)

// Starts this test binary as a child running role with args. Fills *pid when given.
// Returns the process handle, OS_NO_HANDLE on failure.
OsHandle SpawnChild(const std::string& role, const std::vector<std::string>& args = {},
                    std::uint32_t* pid = nullptr);

// Waits up to timeoutMs for the child to end and returns its exit code, or -1000
// on time-out (the child is then killed). Closes the handle.
int WaitChild(OsHandle child, std::uint32_t timeoutMs = 60000);

// A child started with StartReady: its handle (OS_NO_HANDLE when it did not get
// ready) and its pid.
struct ReadyChild {
    OsHandle handle = OS_NO_HANDLE;
    std::uint32_t pid = 0;
};

// Starts role with args (which name readyName for the child to set) and waits up
// to readyMs for the named event readyName. A child that does not get ready in
// time is killed and comes back with no handle.
ReadyChild StartReady(const std::string& role, const std::vector<std::string>& args,
                      const std::string& readyName, std::uint32_t readyMs = 30000);

// A unique name for named objects of one test, so parallel tests never collide.
std::string UniqueName(const std::string& stem);
