// Registered clients for in-process delivery tests: a block opened by the server
// side for a slot, a wake event, both stored in the client table as registration
// would store them, and the records read back from the same view.
#pragma once
#include <cstdint>
#include <ostream>
#include <vector>

#include "queue/block.h"

struct TestRecord {
    std::uint32_t code, arg1, arg2, arg3;
    bool operator==(const TestRecord&) const = default;
};
std::ostream& operator<<(std::ostream& out, const TestRecord& r);

// Registers a client in slot with a process id that no other process uses.
// Fails the current test (null) when the block cannot be had.
AsyncQueueBlock* RegisterTestClient(std::uint32_t slot);

// Clears the slot, then closes its block and wake event.
void UnregisterTestClient(std::uint32_t slot);
void UnregisterAllTestClients();

// Every pending record of the slot, oldest first, taken under the block's lock.
std::vector<TestRecord> TakeAll(std::uint32_t slot);

// True when the slot's wake event was set; takes the signal.
bool TakeWake(std::uint32_t slot);

// Sets every flag and every mask entry of the block (all bits).
void SelectEverything(AsyncQueueBlock* block);
