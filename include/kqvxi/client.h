/* The low-level calls of the kqvxi client library: one request to the server of
   a controller, and the client's own event queue (its shared block and wake
   event). Plain C. Programs use kqvxi/kqvxi.h, the handle API, which builds on
   these and guarantees what they do not: these calls check nothing about the
   server's state, so a request sent through them can make the server exit (an
   enable, disable or unregister from a process that holds no slot, a 51st
   registration). */
#ifndef KQVXI_CLIENT_H
#define KQVXI_CLIENT_H
#include <stdint.h>
#include "kqvxi/api.h"
#include "kqvxi/events.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Status values of this library: 0 or positive success, negative failure. */
#define KQVXI_OK 0
#define KQVXI_E_TIMEOUT (-1) /* no reply in time (no server, or it ended) */
#define KQVXI_E_ARG (-2)     /* a bad argument (null pointer, out of range) */
#define KQVXI_E_SYSTEM (-3)  /* a platform object could not be had */
#define KQVXI_E_EMPTY (-4)   /* kqvxi_queue_take: nothing to take */

/* Low-level (see kqvxi/kqvxi.h). Sends one request from this process to the server of controller
   and waits up to timeoutMs for its reply; on success arg1..arg3 hold the three values replied. */
KQVXI_API int kqvxi_request(uint16_t controller, uint32_t command, uint32_t* arg1, uint32_t* arg2,
                            uint32_t* arg3, uint32_t timeoutMs);

/* Low-level (see kqvxi/kqvxi.h): the calling process's event queue. */
typedef struct kqvxi_queue kqvxi_queue;

/* Opens (creating when the client comes first) this process's block with the
   client side, and its wake event. Null on failure. */
KQVXI_API kqvxi_queue* kqvxi_queue_open(void);

/* Waits up to timeoutMs for the wake event: 1 woken, 0 timed out, negative failure. */
KQVXI_API int kqvxi_queue_wait(kqvxi_queue* queue, uint32_t timeoutMs);

/* Takes the oldest record under the block's lock: KQVXI_OK, or KQVXI_E_EMPTY.
   KQVXI_E_TIMEOUT when a server that still runs kept the lock for 500 ms
   (nothing taken; the next call goes on waiting for it). A lock whose holder
   ended is taken back. A block an earlier process with this pid left behind
   reads as empty until a registration of this process was answered. */
KQVXI_API int kqvxi_queue_take(kqvxi_queue* queue, kqvxi_record* record);

/* Takes up to max records under one hold of the lock; returns how many, or
   KQVXI_E_TIMEOUT as kqvxi_queue_take does. */
KQVXI_API int kqvxi_queue_drain(kqvxi_queue* queue, kqvxi_record* records, int max);

/* Releases the queue's block and wake event; null is fine. */
KQVXI_API void kqvxi_queue_close(kqvxi_queue* queue);

#ifdef __cplusplus
}
#endif
#endif
