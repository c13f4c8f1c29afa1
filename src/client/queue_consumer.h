// What the handle API needs of this process's event queue beyond the plain C
// calls of kqvxi/client.h: its wake event, and a look at the ring without its
// lock.
#pragma once
#include "kqvxi/client.h"
#include "platform/types.h"

// The queue's wake event (owned by the queue; valid until kqvxi_queue_close).
OsHandle QueueWakeEvent(const kqvxi_queue* queue);

// True when the ring's indexes differ, read without the lock: a hint for a
// poll loop, never proof (a take under the lock decides).
bool QueueMayHoldRecords(const kqvxi_queue* queue);
