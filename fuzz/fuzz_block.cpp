// Fuzz target: the client's block as hostile input. A script of client writes
// (any value at any offset of the 3604-byte block, biased towards the indexes,
// the lock word, the descriptor fields, processHandle, ownerPid, the flags and
// the masks) interleaved with server posts, event handlers, enable and disable
// requests, and client takes. The block lies at the end of a page followed by
// an inaccessible page and preceded by a checked filler and another
// inaccessible page, so any server access outside it faults or is caught.
// After every server step, only the bytes that step may change have changed.
//
// Step layout (8 bytes): op, b1, b2, b3, value (32-bit little endian).
//   op % 8: 0..2 client write, 3 PostEvent, 4 client take, 5 event handler,
//           6 enable or disable request, 7 client write of an interesting value.
//
// The slot's process handle is one of a process that has ended: a post that
// finds the lock taken waits one poll step and gives up, as it does for a client
// that died holding its lock. Linux only (libFuzzer): direct POSIX calls allowed.
#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "delivery/rthndlr.h"
#include "fuzz_support.h"
#include "locks/mutex.h"
#include "platform/event.h"
#include "platform/process.h"
#include "queue/asyncque.h"
#include "queue/block.h"
#include "queue/lifecycle.h"
#include "support/client_slots.h"
#include "server/commands.h"

namespace {

constexpr std::uint32_t kSlot = 7;
constexpr std::size_t kStepSize = 8;
constexpr std::size_t kMaxSteps = 300;
constexpr std::uint8_t kFiller = 0xA5;

std::uint8_t* gPage = nullptr;  // the accessible page between two guard pages
std::size_t gPageSize = 0;
std::size_t gLead = 0;  // filler bytes before the block
AsyncQueueBlock* gBlock = nullptr;
std::uint32_t gPid = 0;
OsHandle gEnded = OS_NO_HANDLE;
OsHandle gWake = OS_NO_HANDLE;
std::uint8_t gBefore[QUEUE_BLOCK_SIZE];
std::uint8_t gMayChange[QUEUE_BLOCK_SIZE];

std::uint8_t* Bytes() {
    return reinterpret_cast<std::uint8_t*>(gBlock);
}

void Snapshot() {
    std::memcpy(gBefore, Bytes(), QUEUE_BLOCK_SIZE);
    std::memset(gMayChange, 0, sizeof gMayChange);
}

void Allow(std::size_t offset, std::size_t length) {
    std::memset(gMayChange + offset, 1, length);
}

void AllowRecordFields(std::uint32_t index) {
    Allow(offsetof(AsyncQueueBlock, ring) + index * sizeof(QueueRecord) + 4, 16);
}

// Every byte outside the allowed ranges is as before; the filler is intact.
void CheckChanges(const char* step) {
    const std::uint8_t* now = Bytes();
    for (std::size_t i = 0; i < QUEUE_BLOCK_SIZE; ++i) {
        if (now[i] != gBefore[i] && !gMayChange[i]) {
            std::fprintf(stderr, "%s changed byte %zu\n", step, i);
            Fail("server wrote where it must not");
        }
    }
    for (std::size_t i = 0; i < gLead; ++i) {
        if (gPage[i] != kFiller) {
            Fail("write before the block", static_cast<std::uint32_t>(i));
        }
    }
    for (std::uint32_t s = 0; s < MAX_CLIENTS; ++s) {
        if (s != kSlot &&
            (clientTable.clientBlocks[s] != nullptr || clientTable.wakeEvents[s] != OS_NO_HANDLE)) {
            Fail("another slot of the table changed", s);
        }
    }
    if (clientTable.wakeEvents[kSlot] != gWake || SlotProcess(kSlot) != gEnded) {
        Fail("the slot's handles changed");
    }
}

bool TakeWake() {
    return OsWaitForObject(gWake, 0) == OS_WAIT_OBJECT_0;
}

void SetUpOnce() {
    gPageSize = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* area = mmap(nullptr, 3 * gPageSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) {
        Fail("cannot map the guarded area");
    }
    gPage = static_cast<std::uint8_t*>(area) + gPageSize;
    if (mprotect(gPage, gPageSize, PROT_READ | PROT_WRITE) != 0) {
        Fail("cannot open the middle page");
    }
    gLead = gPageSize - QUEUE_BLOCK_SIZE;
    gBlock = reinterpret_cast<AsyncQueueBlock*>(gPage + gLead);

    // An id no process can have, distinct per fuzzing process (object names).
    gPid = 0x80000000u | (OsCurrentProcessId() << 6) | 0x3Fu;
    const char* args[] = {nullptr};
    std::uint32_t childPid = 0;
    gEnded = OsSpawnProcess("/bin/true", args, &childPid);
    if (gEnded == OS_NO_HANDLE || OsWaitForObject(gEnded, 10000) != OS_WAIT_OBJECT_0) {
        Fail("cannot run /bin/true");
    }
    char name[CLIENT_OBJECT_NAME_SIZE];
    FormatClientObjectName(name, gPid, CLIENT_WAKE_NAME_SUFFIX);
    gWake = OsCreateEvent(name, false, false);
    if (gWake == OS_NO_HANDLE) {
        Fail("cannot create the wake event");
    }
}

// Opens the slot as registration does, then moves the server's lock descriptor
// and the table entry onto the guarded copy of the block.
void OpenSlot() {
    std::memset(gPage, kFiller, gLead);
    std::memset(gBlock, 0, QUEUE_BLOCK_SIZE);
    gBlock->lockCount = LOCK_FREE;
    gBlock->ownerPid = gPid;
    gBlock->slot = kSlot;
    if (OpenQueueBlock(kSlot, gPid, SIDE_SERVER) == nullptr) {
        Fail("cannot open the block");
    }
    EventMutex* lock = SlotLock(kSlot);
    CloseEventMutex(lock);
    char name[CLIENT_OBJECT_NAME_SIZE];
    FormatClientObjectName(name, gPid, BLOCK_LOCK_NAME_SUFFIX);
    if (OpenEventMutex(lock, &gBlock->lockCount, name) != 0) {
        Fail("cannot open the lock");
    }
    for (std::uint32_t s = 0; s < MAX_CLIENTS; ++s) {
        PublishClientBlock(s, nullptr);
        SetSlotWakeEvent(s, OS_NO_HANDLE);
    }
    SetSlotProcess(kSlot, gEnded);
    SetSlotWakeEvent(kSlot, gWake);
    PublishClientBlock(kSlot, gBlock);
    clientTable.clientCount = 1;
    while (TakeWake()) {
    }
}

void CloseSlot() {
    PublishClientBlock(kSlot, nullptr);
    if (CloseQueueBlock(kSlot, SIDE_SERVER) != 0) {
        Fail("cannot close the block");
    }
    std::memset(&clientTable, 0, sizeof clientTable);
}

// Offsets a hostile client aims at first.
const std::uint32_t kFields[] = {
    offsetof(AsyncQueueBlock, lockCount),
    offsetof(AsyncQueueBlock, clientMutex.name),
    offsetof(AsyncQueueBlock, clientMutex.event),
    offsetof(AsyncQueueBlock, clientMutex.lockWord),
    offsetof(AsyncQueueBlock, serverMutex.name),
    offsetof(AsyncQueueBlock, serverMutex.event),
    offsetof(AsyncQueueBlock, serverMutex.lockWord),
    offsetof(AsyncQueueBlock, ownerPid),
    offsetof(AsyncQueueBlock, slot),
    offsetof(AsyncQueueBlock, processHandle),
    offsetof(AsyncQueueBlock, readIndex),
    offsetof(AsyncQueueBlock, writeIndex),
    offsetof(AsyncQueueBlock, enableClass0),
    offsetof(AsyncQueueBlock, enableClass2),
    offsetof(AsyncQueueBlock, enableClass6),
    offsetof(AsyncQueueBlock, levelMask),
    offsetof(AsyncQueueBlock, sourceMask),
    offsetof(AsyncQueueBlock, channelMask),
    offsetof(AsyncQueueBlock, ring) + 99 * sizeof(QueueRecord),
};
constexpr std::uint32_t kFieldCount = sizeof kFields / sizeof kFields[0];

std::uint32_t InterestingValue(std::uint8_t pick) {
    const std::uint32_t values[] = {0,   1,   2,          98,         99,         100,
                                    101, 255, 256,        0x7FFFFFFF, 0x80000000, 0xFFFFFFFF,
                                    50,  60,  0xFFFFFFFE, 0};
    std::uint32_t v = values[pick % 16];
    return pick % 16 == 15 ? gPid : v;
}

void ClientWrite(std::uint32_t offset, std::uint32_t value) {
    if (offset > QUEUE_BLOCK_SIZE - 4) {
        offset = QUEUE_BLOCK_SIZE - 4;
    }
    std::memcpy(Bytes() + offset, &value, 4);
}

void ServerPost(std::uint32_t code, std::uint32_t arg) {
    Snapshot();
    const std::int32_t lockBefore = gBlock->lockCount;
    const std::uint32_t owner = gBlock->ownerPid;
    const std::uint32_t r = gBlock->readIndex;
    const std::uint32_t w = gBlock->writeIndex;
    const bool abandoned = SlotAbandoned(kSlot);
    const bool freeLock = lockBefore == LOCK_FREE;
    const bool room = r < QUEUE_DEPTH && w < QUEUE_DEPTH && (w + 1) % QUEUE_DEPTH != r;
    Allow(offsetof(AsyncQueueBlock, lockCount), 4);
    if (room) {
        AllowRecordFields(w);
        Allow(offsetof(AsyncQueueBlock, writeIndex), 4);
    }
    std::int16_t result = PostEvent(gPid, kSlot, code, arg, ~arg, arg ^ 0x5A5A5A5Au);
    CheckChanges("PostEvent");
    if (owner != gPid) {
        if (result != -1 || std::memcmp(gBefore, Bytes(), QUEUE_BLOCK_SIZE) != 0) {
            Fail("post to a block of another process");
        }
        return;
    }
    if (result != 0) {
        Fail("post refused", static_cast<std::uint32_t>(result));
    }
    bool woke = TakeWake();
    if (abandoned || !freeLock) {
        // Dropped: the lock was taken by someone who will never give it back.
        // The give-up leaves the increment in place (the word wraps like the atomic).
        std::int32_t expect =
            abandoned ? lockBefore
                      : static_cast<std::int32_t>(static_cast<std::uint32_t>(lockBefore) + 1u);
        if (gBlock->lockCount != expect || woke || !SlotAbandoned(kSlot)) {
            Fail("post to a dead holder's block", static_cast<std::uint32_t>(lockBefore));
        }
        if (std::memcmp(gBefore + 4, Bytes() + 4, QUEUE_BLOCK_SIZE - 4) != 0) {
            Fail("dropped post changed the block");
        }
        return;
    }
    if (gBlock->lockCount != LOCK_FREE) {
        Fail("post left the lock taken", static_cast<std::uint32_t>(gBlock->lockCount));
    }
    if (room) {
        const QueueRecord& rec = gBlock->ring[w];
        if (gBlock->writeIndex != (w + 1) % QUEUE_DEPTH || rec.code != code || rec.arg1 != arg ||
            rec.arg2 != ~arg || rec.arg3 != (arg ^ 0x5A5A5A5Au) || !woke) {
            Fail("post with room did not append", w, r);
        }
    } else if (woke || std::memcmp(gBefore, Bytes(), QUEUE_BLOCK_SIZE) != 0) {
        Fail("post into a full or broken ring changed it", w, r);
    }
}

void ClientTake() {
    Snapshot();
    const std::uint32_t r = gBlock->readIndex;
    const std::uint32_t w = gBlock->writeIndex;
    const bool any = r < QUEUE_DEPTH && w < QUEUE_DEPTH && r != w;
    QueueRecord expect{};
    if (any) {
        expect = gBlock->ring[r];
        AllowRecordFields(r);
        Allow(offsetof(AsyncQueueBlock, readIndex), 4);
    }
    std::uint32_t out[4] = {1, 2, 3, 4};
    std::uint32_t result = TakeRecord(gBlock, &out[0], &out[1], &out[2], &out[3]);
    CheckChanges("TakeRecord");
    if (!any) {
        if (result != QUEUE_EMPTY || out[0] != 1 || out[3] != 4) {
            Fail("take from an empty or broken ring", r, w);
        }
        return;
    }
    const QueueRecord& rec = gBlock->ring[r];
    if (result != QUEUE_OK || out[0] != expect.code || out[1] != expect.arg1 ||
        out[2] != expect.arg2 || out[3] != expect.arg3 || rec.code != 0 || rec.arg3 != 0 ||
        gBlock->readIndex != (r + 1) % QUEUE_DEPTH) {
        Fail("take did not remove the oldest record", r, w);
    }
}

// A driver event through the real handler: it reads the flags and masks the
// client wrote and posts accordingly.
void HandlerEvent(std::uint8_t kind, std::uint8_t a, std::uint8_t b, std::uint32_t value) {
    Snapshot();
    Allow(offsetof(AsyncQueueBlock, lockCount), 4);
    Allow(offsetof(AsyncQueueBlock, writeIndex), 4);
    for (std::uint32_t i = 0; i < QUEUE_DEPTH; ++i) {
        AllowRecordFields(i);
    }
    const auto s16 = static_cast<std::int16_t>(value);
    const auto u16 = static_cast<std::uint16_t>(value);
    switch (kind % 8) {
        case 0:
            HandleClass0(s16);
            break;
        case 1:
            HandleClass1();
            break;
        case 2:
            HandleClass2();
            break;
        case 3:
            HandleClass3(s16);
            break;
        case 4:
            HandleClass4(s16);
            break;
        case 5:
            HandleClass5(u16);
            break;
        case 6:
            HandleLevel(static_cast<std::int16_t>(a | (b & 0x81) << 8), b, value);
            break;
        default:
            HandleChannel(static_cast<std::int16_t>(a | (b & 0x81) << 8), b, u16);
            break;
    }
    CheckChanges("handler");
    while (TakeWake()) {
    }
}

void Request(std::uint8_t a, std::uint8_t b, std::uint32_t value) {
    Snapshot();
    Allow(offsetof(AsyncQueueBlock, enableClass0),
          QUEUE_BLOCK_SIZE - offsetof(AsyncQueueBlock, enableClass0));
    std::uint32_t command = (a & 1) ? CMD_DISABLE : CMD_ENABLE;
    std::uint32_t arg1 = EVENT_CODE_BASE + (a >> 1) % 12;
    std::uint32_t arg2 = (a & 0x80) ? b + 250u : b;
    std::uint32_t arg3 = value;
    CommandOutcome out = RunClientCommand(gPid, command, &arg1, &arg2, &arg3);
    CheckChanges("request");
    if ((out.stop || out.exitStatus != 0) && gBlock->ownerPid == gPid) {
        Fail("request from the registered client failed");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetUpOnce();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    OpenSlot();
    std::size_t steps = size / kStepSize;
    if (steps > kMaxSteps) {
        steps = kMaxSteps;
    }
    for (std::size_t s = 0; s < steps; ++s) {
        const std::uint8_t* p = data + s * kStepSize;
        const std::uint32_t value = ReadU32(p + 4);
        switch (p[0] % 8) {
            case 0:
            case 1:
            case 2:
                ClientWrite(p[1] | static_cast<std::uint32_t>(p[2]) << 8, value);
                break;
            case 3:
                ServerPost(EVENT_CODE_BASE + p[1] % 10, value);
                break;
            case 4:
                ClientTake();
                break;
            case 5:
                HandlerEvent(p[1], p[2], p[3], value);
                break;
            case 6:
                Request(p[1], p[2], value);
                break;
            default: {
                std::uint32_t field = kFields[p[1] % kFieldCount] + (p[2] % 4) * 4 * (p[2] >> 6);
                ClientWrite(field, (p[3] & 1) ? value : InterestingValue(p[3] >> 1));
                break;
            }
        }
    }
    CloseSlot();
    CheckObjectFdsAgainstBaseline();
    return 0;
}
