// Fuzz target: scripts of client requests against the real command code and
// client table. Each input is a list of steps (request or process kill); after
// every step the table is compared with a small reference model of what the
// requests must have done, and the table's own invariants are checked. Between
// inputs every client is removed and the table cleared.
//
// Step layout (14 bytes): op, pid selector, arg1, arg2, arg3 (little endian).
//   op & 7: 0 register, 1 unregister, 2 enable, 3 disable, 4 sweep,
//           5 stop-and-unregister, 6 raw command number (taken from arg3's top
//           byte), 7 kill the selected helper process.
//   op & 0x80: arg1 becomes an event code (0xDEAD0000 + arg1 % 16).
//   op & 0x40: arg2 becomes a small mask index (arg2 % 512).
// Process ids come from a pool: this process, helper processes that stay alive
// until a step kills them, and ids that no process can have.
//
// Linux only (libFuzzer): direct POSIX calls are allowed here.
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "delivery/rthndlr.h"
#include "fuzz_support.h"
#include "platform/process.h"
#include "platform/types.h"
#include "queue/block.h"
#include "queue/lifecycle.h"
#include "support/client_slots.h"
#include "server/commands.h"
#include "server/entry.h"

namespace {

constexpr std::uint32_t kHelpers = 4;
constexpr std::uint32_t kGhosts = 52;  // enough to fill the table
constexpr std::uint32_t kPoolSize = 1 + kHelpers + kGhosts;
constexpr std::size_t kStepSize = 14;
constexpr std::size_t kMaxSteps = 400;

struct PoolEntry {
    std::uint32_t pid;
    OsHandle spawned;  // helpers: our handle of the child
    bool helper;
    bool openable;  // the server gets a process handle for it
    bool ended;
};

PoolEntry gPool[kPoolSize];

// Reference model of one registered client.
struct ModelClient {
    bool used;
    std::uint32_t pid;
    std::uint32_t flags[7];  // classes 0, 2..6 (index 1 unused)
    std::uint16_t levelMask[LEVEL_MASK_ENTRIES];
    std::uint16_t sourceMask[SOURCE_MASK_ENTRIES];
    std::uint16_t channelMask[CHANNEL_MASK_ENTRIES];
};

ModelClient gModel[MAX_CLIENTS];
std::int32_t gModelCount = 0;

// A helper: a shell that lives until it is killed or this process ends (it
// polls its parent once a second), so no helper outlives a fuzzing run.
void SpawnHelper(PoolEntry* entry) {
    char parent[16];
    std::snprintf(parent, sizeof parent, "%u", OsCurrentProcessId());
    const char* args[] = {"-c", "while kill -0 \"$0\" 2>/dev/null; do sleep 1; done", parent,
                          nullptr};
    entry->spawned = OsSpawnProcess("/bin/sh", args, &entry->pid);
    if (entry->spawned == OS_NO_HANDLE) {
        Fail("cannot start a helper process");
    }
    entry->ended = false;
}

void KillHelper(PoolEntry* entry) {
    if (!entry->helper || entry->ended) {
        return;
    }
    OsKillProcess(entry->spawned);
    // Death is asynchronous; the model needs it settled before the next step.
    if (OsWaitForObject(entry->spawned, 5000) != OS_WAIT_OBJECT_0) {
        Fail("helper did not end", entry->pid);
    }
    entry->ended = true;
}

void SetUpPool() {
    std::uint32_t self = OsCurrentProcessId();
    gPool[0] = PoolEntry{self, OS_NO_HANDLE, false, true, false};
    for (std::uint32_t i = 0; i < kHelpers; ++i) {
        PoolEntry& e = gPool[1 + i];
        e = PoolEntry{0, OS_NO_HANDLE, true, true, false};
        SpawnHelper(&e);
    }
    // Above the largest process id any system hands out, so no process has them;
    // derived from our own id so that parallel runs use distinct object names.
    for (std::uint32_t i = 0; i < kGhosts; ++i) {
        gPool[1 + kHelpers + i] =
            PoolEntry{0x80000000u | (self << 6) | i, OS_NO_HANDLE, false, false, false};
    }
}

// Replaces the helpers killed during the last input.
void RenewHelpers() {
    for (std::uint32_t i = 0; i < kPoolSize; ++i) {
        PoolEntry& e = gPool[i];
        if (e.helper && e.ended) {
            std::uint32_t code = 0;
            OsGetExitCodeProcess(e.spawned, &code);  // reaps it
            OsCloseHandle(e.spawned);
            SpawnHelper(&e);
        }
    }
}

ModelClient* ModelFind(std::uint32_t pid) {
    for (ModelClient& c : gModel) {
        if (c.used && c.pid == pid) {
            return &c;
        }
    }
    return nullptr;
}

const PoolEntry* PoolFind(std::uint32_t pid) {
    for (const PoolEntry& e : gPool) {
        if (e.pid == pid) {
            return &e;
        }
    }
    return nullptr;
}

// A client whose process the server can see has ended.
bool ModelEnded(std::uint32_t pid) {
    const PoolEntry* e = PoolFind(pid);
    return e != nullptr && e->openable && e->ended;
}

std::uint32_t ModelUsed() {
    std::uint32_t n = 0;
    for (const ModelClient& c : gModel) {
        n += c.used ? 1 : 0;
    }
    return n;
}

void ModelAdd(std::uint32_t pid) {
    for (ModelClient& c : gModel) {
        if (!c.used) {
            std::memset(&c, 0, sizeof c);
            c.used = true;
            c.pid = pid;
            return;
        }
    }
}

struct Expected {
    bool stop;
    std::int32_t status;
    std::uint32_t arg1, arg2, arg3;
};

// What the request must do, applied to the model.
Expected ModelRun(std::uint32_t pid, std::uint32_t command, std::uint32_t arg1, std::uint32_t arg2,
                  std::uint32_t arg3) {
    Expected x{false, 0, arg1, arg2, arg3};
    ModelClient* c = ModelFind(pid);
    switch (command) {
        case CMD_REGISTER:
            if (c != nullptr) {
                if (!ModelEnded(pid)) {
                    return x;  // the same running client again: nothing changes
                }
                c->used = false;  // an ended client's id reused: the old slot goes
                --gModelCount;
            }
            ++gModelCount;
            if (ModelUsed() == MAX_CLIENTS) {
                x.stop = true;
                x.status = EXIT_COMMAND_FAILED;
                return x;
            }
            ModelAdd(pid);
            return x;
        case CMD_UNREGISTER:
        case CMD_STOP_UNREGISTER:
            if (c == nullptr) {
                x.stop = true;
                x.status = EXIT_COMMAND_FAILED;
                return x;
            }
            c->used = false;
            --gModelCount;
            return x;
        case CMD_ENABLE:
        case CMD_DISABLE: {
            if (c == nullptr) {
                x.stop = true;
                x.status = EXIT_COMMAND_FAILED;
                return x;
            }
            bool enable = command == CMD_ENABLE;
            std::uint32_t cls = arg1 - EVENT_CODE_BASE;
            if (cls >= 10) {
                return x;
            }
            std::uint16_t* entry = nullptr;
            if (cls == 7 && arg2 < LEVEL_MASK_ENTRIES) {
                entry = &c->levelMask[arg2];
            } else if (cls == 8 && arg2 < SOURCE_MASK_ENTRIES) {
                entry = &c->sourceMask[arg2];
            } else if (cls == 9 && arg2 < CHANNEL_MASK_ENTRIES) {
                entry = &c->channelMask[arg2];
            } else if (cls >= 7) {
                return x;  // index outside its table: nothing changes
            }
            if (cls == 0 || (cls >= 2 && cls <= 6)) {
                c->flags[cls] = enable ? 1 : 0;
            } else if (cls == 7 || cls == 8) {
                *entry = static_cast<std::uint16_t>(enable ? (*entry | (arg3 & 0xFFFFu))
                                                           : (*entry & ~arg3 & 0x7Fu));
            } else if (cls == 9) {
                std::uint32_t n = arg3 == 50 ? 14u : arg3 == 60 ? 15u : arg3;
                x.arg3 = n;
                std::uint32_t pos = n & 31u;
                std::uint16_t bit = pos < 16 ? static_cast<std::uint16_t>(1u << pos) : 0;
                *entry = static_cast<std::uint16_t>(enable ? (*entry | bit) : (*entry & ~bit));
            }
            return x;
        }
        case CMD_SWEEP:
            for (ModelClient& m : gModel) {
                if (m.used && ModelEnded(m.pid)) {
                    m.used = false;
                    --gModelCount;
                }
            }
            x.arg1 = static_cast<std::uint32_t>(gModelCount);
            return x;
        default:
            return x;
    }
}

// The table against the model, and the table's own invariants.
void CheckTable(bool afterFailure) {
    std::uint32_t registered = 0;
    for (std::uint32_t i = 0; i < MAX_CLIENTS; ++i) {
        AsyncQueueBlock* block = clientTable.clientBlocks[i];
        if (block == nullptr) {
            if (clientTable.wakeEvents[i] != OS_NO_HANDLE || SlotProcess(i) != OS_NO_HANDLE) {
                Fail("free slot keeps a handle", i);
            }
            if (SlotView(i) != nullptr || SlotMapping(i) != OS_NO_HANDLE) {
                Fail("free slot keeps its mapping", i);
            }
            continue;
        }
        ++registered;
        for (std::uint32_t j = i + 1; j < MAX_CLIENTS; ++j) {
            AsyncQueueBlock* other = clientTable.clientBlocks[j];
            if (other == block || (other != nullptr && other->ownerPid == block->ownerPid)) {
                Fail("one block reachable from two slots", i, j);
            }
        }
        if (block->slot != i) {
            Fail("block does not carry its slot", i, block->slot);
        }
        if (SlotView(i) != block) {
            Fail("table and lifecycle disagree on the block", i);
        }
        if (clientTable.wakeEvents[i] == OS_NO_HANDLE) {
            Fail("registered slot without wake event", i);
        }
        const PoolEntry* e = PoolFind(block->ownerPid);
        if (e == nullptr) {
            Fail("block of a pid nobody registered", block->ownerPid);
        }
        if ((SlotProcess(i) != OS_NO_HANDLE) != e->openable) {
            Fail("process handle kept wrongly", i, block->ownerPid);
        }
        const ModelClient* m = ModelFind(block->ownerPid);
        if (m == nullptr) {
            Fail("slot registered that the model freed", i, block->ownerPid);
        }
        const std::uint32_t flags[7] = {block->enableClass0, 0,
                                        block->enableClass2, block->enableClass3,
                                        block->enableClass4, block->enableClass5,
                                        block->enableClass6};
        for (std::uint32_t k = 0; k < 7; ++k) {
            if (flags[k] != m->flags[k]) {
                Fail("enable flag differs", i, k);
            }
        }
        if (std::memcmp(block->levelMask, m->levelMask, sizeof m->levelMask) != 0 ||
            std::memcmp(block->sourceMask, m->sourceMask, sizeof m->sourceMask) != 0 ||
            std::memcmp(block->channelMask, m->channelMask, sizeof m->channelMask) != 0) {
            Fail("mask table differs", i);
        }
        if (block->readIndex >= QUEUE_DEPTH || block->writeIndex >= QUEUE_DEPTH) {
            Fail("ring index out of range", i);
        }
    }
    if (registered != ModelUsed()) {
        Fail("registered clients differ from the model", registered, ModelUsed());
    }
    // After a failed registration the count stays raised; the loop then ends.
    if (clientTable.clientCount != gModelCount) {
        Fail("clientCount differs from registrations minus removals",
             static_cast<std::uint32_t>(clientTable.clientCount),
             static_cast<std::uint32_t>(gModelCount));
    }
    if (!afterFailure && clientTable.clientCount != static_cast<std::int32_t>(registered)) {
        Fail("clientCount differs from the registered slots", registered);
    }
}

void ResetAll() {
    RemoveAllClients();
    std::memset(&clientTable, 0, sizeof clientTable);
    std::memset(gModel, 0, sizeof gModel);
    gModelCount = 0;
    for (std::uint32_t i = 0; i < MAX_CLIENTS; ++i) {
        if (SlotView(i) != nullptr || SlotMapping(i) != OS_NO_HANDLE) {
            Fail("shutdown left a block open", i);
        }
    }
    RenewHelpers();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetUpPool();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t steps = size / kStepSize;
    if (steps > kMaxSteps) {
        steps = kMaxSteps;
    }
    for (std::size_t s = 0; s < steps; ++s) {
        const std::uint8_t* p = data + s * kStepSize;
        std::uint8_t op = p[0];
        PoolEntry& who = gPool[p[1] % kPoolSize];
        std::uint32_t arg1 = ReadU32(p + 2);
        std::uint32_t arg2 = ReadU32(p + 6);
        std::uint32_t arg3 = ReadU32(p + 10);
        if (op & 0x80) {
            arg1 = EVENT_CODE_BASE + (arg1 % 16);
        }
        if (op & 0x40) {
            arg2 %= 512;
        }
        std::uint32_t command = 0;
        switch (op & 7) {
            case 5:
                command = CMD_STOP_UNREGISTER;
                break;
            case 6:
                command = arg3 >> 24;
                break;
            case 7:
                KillHelper(&who);
                continue;
            default:
                command = op & 7;
                break;
        }
        Expected x = ModelRun(who.pid, command, arg1, arg2, arg3);
        CommandOutcome out = RunClientCommand(who.pid, command, &arg1, &arg2, &arg3);
        bool failed = out.exitStatus != 0;
        if (out.stop != x.stop || out.exitStatus != x.status || out.noReply) {
            Fail("command outcome differs", command, static_cast<std::uint32_t>(out.exitStatus));
        }
        if (arg1 != x.arg1 || arg2 != x.arg2 || arg3 != x.arg3) {
            Fail("reply values differ", command);
        }
        CheckTable(failed);
        if (out.stop || command == CMD_STOP_UNREGISTER) {
            break;  // the request loop ends here
        }
    }
    ResetAll();
    CheckObjectFdsAgainstBaseline();
    return 0;
}
