// Wake-ups of a handlers' pass: within a stream of events the first client the
// pass finds asleep is woken at once by the posting thread, and the others'
// sleeping waiters (their events are set by the posts, under their blocks'
// locks) by the wake relay thread, so one event to many sleeping clients costs
// the dispatch thread one kernel wake-up instead of one per client, and several
// posts to a client that has not run yet cost one. A pass after a quiet spell
// makes all its wake-ups itself.
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

// Starts the relay thread (at normal priority); false when it cannot be
// created, and posts then wake their clients themselves. Idempotent. Starts
// nothing where setting an event always wakes its waiter at once (Win32).
bool StartWakeRelay();
// Stops the relay thread after it made every wake-up handed to it so far, and
// makes any handed over later itself. Call when no pass can run any more.
void StopWakeRelay();

// Kernel wake-ups the relay thread has made since the process started (tests).
std::uint64_t WakeRelayWakeups();
