// Wake-ups of a handlers' pass: the first client the pass finds asleep is woken
// at once by the posting thread; the others' events are set (under their blocks'
// locks, by the post) and their sleeping waiters are woken by the wake relay
// thread, so one event to many sleeping clients costs the dispatch thread one
// kernel wake-up instead of one per client. Several posts to a client that has
// not run yet cost one wake-up.
#pragma once
#include <cstdint>

#include "platform/types.h"

// Opens and closes a pass on the calling thread. Passes do not nest. Outside a
// pass a post wakes its client itself.
void BeginWakeBatch();
// Hands the wake-ups the pass owes to the relay thread, or, when it is not
// running, makes them itself.
void EndWakeBatch();

// Sets a client's wake event after a post into slot: called by the post under
// the block's lock.
void WakeAfterPost(std::uint32_t slot, OsHandle wake);

// Starts the relay thread (at the dispatch thread's priority); false when it cannot be
// created, and posts then wake their clients themselves. Idempotent.
bool StartWakeRelay();
// Stops the relay thread after it made every wake-up handed to it so far, and
// makes any handed over later itself. Call when no pass can run any more.
void StopWakeRelay();

// Kernel wake-ups the relay thread has made since the process started (tests).
std::uint64_t WakeRelayWakeups();
