// Helpers for the client-command tests: pids that belong to no process, child
// processes that live until told to end, an independent mapping of a client's
// named block, and a reset of the server's client table between tests.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/mapping.h"
#include "platform/process.h"
#include "queue/block.h"
#include "queue/lifecycle.h"
#include "support/client_slots.h"
#include "server/commands.h"
#include "server/entry.h"
#include "support/child.h"

namespace command_test {

// A pid no process can have (above every system's pid range), distinct per test
// process so that parallel test binaries never share a block name.
inline std::uint32_t FakePid(std::uint32_t i) {
    return 0x40000000u | ((OsCurrentProcessId() & 0x3FFFFFu) << 8) | (i & 0xFFu);
}

inline std::string ClientObjectName(std::uint32_t pid, const char* suffix) {
    char name[64];
    std::snprintf(name, sizeof name, "X%lx%s", static_cast<unsigned long>(pid), suffix);
    return name;
}

// This test's own view of a client's named block, as the client would map it. It
// keeps the block alive after the server has closed its side.
struct BlockView {
    OsHandle mapping = OS_NO_HANDLE;
    AsyncQueueBlock* block = nullptr;

    explicit BlockView(std::uint32_t pid) {
        bool existed = false;
        mapping = OsCreateMapping(ClientObjectName(pid, "KQVXI IPC Glbl Mem").c_str(),
                                  QUEUE_BLOCK_SIZE, &existed);
        if (mapping != OS_NO_HANDLE) {
            block = static_cast<AsyncQueueBlock*>(OsMapView(mapping, QUEUE_BLOCK_SIZE));
        }
        EXPECT_TRUE(existed) << "the block did not exist before the test mapped it";
    }
    ~BlockView() {
        if (block != nullptr) {
            OsUnmapView(block);
        }
        if (mapping != OS_NO_HANDLE) {
            OsCloseHandle(mapping);
        }
    }
    BlockView(const BlockView&) = delete;
    BlockView& operator=(const BlockView&) = delete;

    std::vector<unsigned char> Bytes() const {
        const auto* p = reinterpret_cast<const unsigned char*>(block);
        return std::vector<unsigned char>(p, p + QUEUE_BLOCK_SIZE);
    }
};

// The child side of LiveChild: runs until its event is set (at most a minute).
KQ_CHILD_ROLE(wait_for_end) {
    OsHandle event = OsCreateEvent(args.at(0).c_str(), true, false);
    if (event == OS_NO_HANDLE) {
        return 2;
    }
    OsWaitForObject(event, 60000);
    OsCloseHandle(event);
    return 0;
}

// A child process that runs until EndAndWait. Its pid is a real, running process.
struct LiveChild {
    std::string eventName;
    OsHandle event = OS_NO_HANDLE;
    OsHandle process = OS_NO_HANDLE;
    std::uint32_t pid = 0;

    LiveChild() : eventName(UniqueName("child end")) {
        event = OsCreateEvent(eventName.c_str(), true, false);
        process = SpawnChild("wait_for_end", {eventName}, &pid);
        EXPECT_NE(process, OS_NO_HANDLE);
    }
    // Lets the child end and waits until it has; returns its exit code.
    int EndAndWait() {
        OsSetEvent(event);
        int code = WaitChild(process, 30000);
        process = OS_NO_HANDLE;
        return code;
    }
    ~LiveChild() {
        if (process != OS_NO_HANDLE) {
            EndAndWait();
        }
        OsCloseHandle(event);
    }
    LiveChild(const LiveChild&) = delete;
    LiveChild& operator=(const LiveChild&) = delete;
};

// The slots whose block belongs to pid.
inline std::vector<std::uint32_t> SlotsOf(std::uint32_t pid) {
    std::vector<std::uint32_t> slots;
    for (std::uint32_t s = 0; s < MAX_CLIENTS; ++s) {
        AsyncQueueBlock* b = clientTable.clientBlocks[s];
        if (b != nullptr && b->ownerPid == pid) {
            slots.push_back(s);
        }
    }
    return slots;
}

// Removes every client the server still holds and zeroes the count.
inline void ClearClientTable() {
    RemoveAllClients();
    clientTable.clientCount = 0;
}

struct Args {
    std::uint32_t arg1 = 0, arg2 = 0, arg3 = 0;
};

inline CommandOutcome Send(std::uint32_t pid, std::uint32_t command, Args* args) {
    return RunClientCommand(pid, command, &args->arg1, &args->arg2, &args->arg3);
}
inline CommandOutcome Send(std::uint32_t pid, std::uint32_t command, std::uint32_t arg1 = 0,
                           std::uint32_t arg2 = 0, std::uint32_t arg3 = 0) {
    Args args{arg1, arg2, arg3};
    return Send(pid, command, &args);
}

inline bool CarriesOn(const CommandOutcome& o) {
    return o.exitStatus == 0 && !o.stop && !o.noReply;
}
inline bool FailsWithReply(const CommandOutcome& o, std::int32_t status) {
    return o.exitStatus == status && o.stop && !o.noReply;
}

}  // namespace command_test
