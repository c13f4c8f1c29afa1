/* kqvxi.h: the kqvxi client library, version 1.
 *
 * A client is an instrument program that receives the interrupt events of one
 * VXI board controller from that controller's kqvxi server. This header is all
 * a client needs:
 *
 *     #include <kqvxi/kqvxi.h>
 *
 *     kqvxi_client* c = NULL;
 *     int rc = kqvxi_client_open(1, NULL, &c);          // register with controller 1
 *     if (rc < 0) { fprintf(stderr, "%s\n", kqvxi_strerror(rc)); return 1; }
 *     kqvxi_select_levels(c, 3, KQVXI_LEVEL_BIT(1) | KQVXI_LEVEL_BIT(2), 1);
 *     kqvxi_event ev[32];
 *     int n = kqvxi_client_read(c, ev, 32, 1000);       // up to 1 s
 *     for (int i = 0; i < n; ++i)
 *         if (ev[i].cls == KQVXI_CLASS_LEVEL)
 *             printf("index %d level %u value 0x%x\n", ev[i].index, ev[i].level, ev[i].value);
 *     kqvxi_stats s; kqvxi_client_stats(c, &s);       // s.dropped: records lost to this client
 *     kqvxi_client_free(c);                             // unregisters and frees
 *
 * Link with -lkqvxi (pkg-config kqvxi; CMake find_package(kqvxi) and target
 * kqvxi::kqvxi). On Windows link the import library of kqvxi.dll.
 *
 * THE MODEL. The server of a controller serves at most KQVXI_MAX_CLIENTS (50)
 * processes. Opening a client registers the calling process: the server gives
 * it a slot and a ring of KQVXI_RING_RECORDS (100) records that lives in a
 * shared-memory block of this process, and a wake event. The server appends one
 * record to the ring for every event the client selected and sets the wake
 * event; reads take records from the ring. A record that finds the ring full is
 * dropped and counted (kqvxi_client_stats): read often enough, or in batches.
 * The block is per process, so a process is a client of one controller at a
 * time, through one open handle.
 *
 * SELECTIONS. A new client receives class 1 only (class 1 reaches every
 * client and cannot be switched off). Flag classes 0, 2, 3, 4, 5 and 6 are
 * switched with kqvxi_select_class. Classes 7 (level), 8 (source level) and 9
 * (channel) are selected per index of a table: an event of index i reaches the
 * client when the client selected its level (or channel) at index i.
 *
 * SAFETY. Through this API no sequence of calls can make the server exit: the
 * library sends enable, disable and unregister requests only while this handle
 * holds a slot with the controller's current server (it tells a restarted
 * server by its instance), asks the server to free the slots of ended clients
 * before registering, and refuses to register a 51st client. The low-level
 * calls of kqvxi/client.h give none of these guarantees.
 *
 * THREADS. Every call may be made from any thread. Calls on one handle are
 * serialised inside the library, except that kqvxi_client_interrupt and
 * kqvxi_client_stats never wait for a read in progress. Several threads may
 * read one handle; each record goes to exactly one of them. Not one call is
 * async-signal-safe.
 *
 * ERRORS. Every call that returns int returns a negative KQVXI_E_* status on
 * failure; kqvxi_strerror turns it into text. No call prints anything.
 */
#ifndef KQVXI_KQVXI_H
#define KQVXI_KQVXI_H
#include <stdint.h>

#include "kqvxi/api.h"
#include "kqvxi/client.h"
#include "kqvxi/events.h"
#include "kqvxi/version.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Limits and constants ------------------------------------------------ */

#define KQVXI_MAX_CLIENTS 50           /* processes one server serves */
#define KQVXI_RING_RECORDS 100         /* records a client's ring holds */
#define KQVXI_INFINITE 0xFFFFFFFFu     /* a timeout with no limit */
#define KQVXI_DEFAULT_TIMEOUT_MS 2000u /* how long a request waits for its reply by default */

/* Entries of the selection tables: valid indexes are 0 .. entries - 1. */
#define KQVXI_LEVEL_INDEXES 255
#define KQVXI_SOURCE_INDEXES 255
#define KQVXI_CHANNEL_INDEXES 256

/* The bit of level 1..7 in a level mask (level 1 -> 0x01, level 7 -> 0x40). */
#define KQVXI_LEVEL_BIT(level) (1u << ((level)-1u))
#define KQVXI_ALL_LEVELS 0x7Fu

/* Event classes (kqvxi_event.cls). */
#define KQVXI_CLASS_0 0             /* value: signed */
#define KQVXI_CLASS_1 1             /* no fields; every client receives it */
#define KQVXI_CLASS_2 2             /* no fields */
#define KQVXI_CLASS_3 3             /* value: signed */
#define KQVXI_CLASS_4 4             /* value: signed */
#define KQVXI_CLASS_5 5             /* value: unsigned */
#define KQVXI_CLASS_SOURCE 6        /* source, marked */
#define KQVXI_CLASS_LEVEL 7         /* index, level, value */
#define KQVXI_CLASS_SOURCE_LEVEL 8  /* source, marked, index, level */
#define KQVXI_CLASS_CHANNEL 9       /* index, channel, value */
#define KQVXI_CLASS_UNREGISTERED 10 /* the last record after an unregister */
#define KQVXI_CLASS_UNKNOWN (-1)    /* a code of no class: only raw is meaningful */

/* ---- Status values beyond those of kqvxi/client.h ------------------------- */
/* KQVXI_OK 0, KQVXI_E_TIMEOUT -1, KQVXI_E_ARG -2, KQVXI_E_SYSTEM -3 and
   KQVXI_E_EMPTY -4 are defined in kqvxi/client.h. */
#define KQVXI_E_NO_SERVER (-5)      /* no server runs for the controller, or it did not answer */
#define KQVXI_E_NOT_REGISTERED (-6) /* the handle holds no slot with the current server */
#define KQVXI_E_FULL (-7)           /* the server serves KQVXI_MAX_CLIENTS clients already */
#define KQVXI_E_BUSY (-8)           /* this process is already a client (one handle per process) */
#define KQVXI_E_INTERRUPTED (-9)    /* a wait was ended by kqvxi_client_interrupt or a signal */
#define KQVXI_E_RESTARTED (-10)     /* the server restarted; records in between were lost */
#define KQVXI_E_SERVER_GONE (-11)   /* the server ended; nothing more will arrive */
#define KQVXI_E_CLOSED (-12)        /* the handle was closed */

/* ---- Versions ------------------------------------------------------------ */

/* The library's version as "major.minor.patch" (KQVXI_VERSION_STRING of the
   build that made the library; compare with the header's to catch a mismatch).
   A static string; never fails. */
KQVXI_API const char* kqvxi_version(void);

/* A static English text for a status: "success" for 0 and positive values,
   "unknown status" for a value this library does not define. Never null. */
KQVXI_API const char* kqvxi_strerror(int status);

/* ---- Opening and closing ------------------------------------------------- */

typedef struct kqvxi_client kqvxi_client;

/* Option flags of kqvxi_options.flags. */
/* When the server restarts, register with the new one and re-apply every
   selection made through this handle. The first read after that returns
   KQVXI_E_RESTARTED once (the records of the gap are lost), then reads go on.
   Without it, reads return KQVXI_E_SERVER_GONE once the ring is empty. */
#define KQVXI_OPEN_REREGISTER 0x1u

typedef struct kqvxi_options {
    uint32_t size;       /* sizeof(kqvxi_options); set by kqvxi_options_init */
    uint32_t flags;      /* KQVXI_OPEN_* */
    uint32_t timeout_ms; /* how long each request waits for the server's reply;
                            0 means KQVXI_DEFAULT_TIMEOUT_MS */
    /* Wake coalescing (default 0, off): after a wake-up a read that found the
       ring empty checks it again every coalesce_us microseconds, for up to 20
       checks, before it sleeps on the wake event again. A busy stream then costs
       one wake-up per window instead of one per record, and the server no
       wake-up call at all. Records are never delayed past the window. 1000
       suits a busy stream to many clients; it adds up to a window to a
       record's latency. */
    uint32_t coalesce_us;
    /* Spin before sleeping (default 0, off): a read that finds the ring empty
       polls it for up to spin_us microseconds before it sleeps. Lowers latency
       when the client is woken on an idle processor, at the cost of that CPU. */
    uint32_t spin_us;
} kqvxi_options;

/* Fills options with the defaults (no flags, default timeout, no coalescing, no
   spinning). */
KQVXI_API void kqvxi_options_init(kqvxi_options* options);

/* Registers this process with the server of controller and returns a handle in
   *client. options may be null (the defaults).
   Blocks for up to 5 request timeouts (a wait for another process of this
   machine that registers with the same controller at the same time, a sweep of
   ended clients, the registration, the wait for the server to publish the
   slot, and on failure an unregister).
   Errors: KQVXI_E_ARG (client null, options of a wrong size);
   KQVXI_E_TIMEOUT (another process kept the controller's registration lock
   for a whole request timeout);
   KQVXI_E_BUSY (this process already has an open handle, for any controller);
   KQVXI_E_NO_SERVER (no server runs for controller, or it did not reply);
   KQVXI_E_FULL (the server serves KQVXI_MAX_CLIENTS clients);
   KQVXI_E_SYSTEM (a shared object could not be created or mapped).
   On failure *client is null and nothing stays registered. */
KQVXI_API int kqvxi_client_open(uint16_t controller, const kqvxi_options* options,
                                kqvxi_client** client);

/* Unregisters (only when the handle still holds a slot with the current
   server; after a server restart nothing is sent), ends any read that waits on
   the handle (it returns KQVXI_E_CLOSED), and releases the shared objects. The
   handle's memory stays valid until kqvxi_client_free; every later call on it
   returns KQVXI_E_CLOSED, and a second close returns KQVXI_OK. Records still in
   the ring are discarded. Blocks for up to one request timeout.
   Returns KQVXI_OK, or KQVXI_E_ARG for null. A failed unregister (the server
   did not reply) is not reported: the slot is then freed by the next sweep. */
KQVXI_API int kqvxi_client_close(kqvxi_client* client);

/* Closes the handle if it is open, then frees it. client may be null. The
   handle must not be in use by another thread. */
KQVXI_API void kqvxi_client_free(kqvxi_client* client);

/* ---- Selections ---------------------------------------------------------- */
/* Each sends one request and blocks until the server replies (at most the
   request timeout). enable: non-zero selects, zero deselects. The selection is
   kept by the handle and re-applied after a server restart when the handle was
   opened with KQVXI_OPEN_REREGISTER. Common errors: KQVXI_E_ARG,
   KQVXI_E_NOT_REGISTERED (the server restarted or stopped), KQVXI_E_TIMEOUT (no
   reply), KQVXI_E_CLOSED. */

/* Flag classes: cls is 0, 2, 3, 4, 5 or 6 (KQVXI_CLASS_SOURCE). Class 1 is
   always on: selecting or deselecting it succeeds and changes nothing. Classes 7
   to 9 are KQVXI_E_ARG here (use the calls below). */
KQVXI_API int kqvxi_select_class(kqvxi_client* client, int cls, int enable);

/* Class 7 (KQVXI_CLASS_LEVEL) at index 0..254: levels is a mask of
   KQVXI_LEVEL_BIT(1..7) (1..0x7F; other bits are KQVXI_E_ARG). */
KQVXI_API int kqvxi_select_levels(kqvxi_client* client, uint32_t index, uint32_t levels,
                                  int enable);

/* Class 8 (KQVXI_CLASS_SOURCE_LEVEL) at index 0..254: levels as above. */
KQVXI_API int kqvxi_select_source_levels(kqvxi_client* client, uint32_t index, uint32_t levels,
                                         int enable);

/* Class 9 (KQVXI_CLASS_CHANNEL) at index 0..255: channel is 0..15, 50 or 60.
   Channel 50 shares its selection with channel 14, and 60 with 15. Other
   numbers are KQVXI_E_ARG: the server would alias them to another channel. */
KQVXI_API int kqvxi_select_channel(kqvxi_client* client, uint32_t index, uint32_t channel,
                                   int enable);

/* ---- Reading ------------------------------------------------------------- */

/* One record, decoded. raw holds the code and arguments as the server posted
   them; the named fields below are filled for the classes that carry them and
   0 otherwise. */
typedef struct kqvxi_event {
    kqvxi_record raw;
    int32_t cls;      /* KQVXI_CLASS_* */
    uint32_t value;   /* classes 0, 3, 4: signed 16-bit value widened (read as
                         (int32_t)value); 5: unsigned; 7: the 32-bit value; 9: the
                         16-bit value */
    int32_t index;    /* classes 7, 9: the table index (signed); 8: the reported index */
    uint32_t level;   /* classes 7, 8: the level */
    uint32_t channel; /* class 9: the channel as the board reported it (50 stays 50) */
    uint32_t source;  /* classes 6, 8: the source (low 16 bits of arg1) */
    uint32_t marked;  /* classes 6, 8: 1 when the marking handler posted it */
} kqvxi_event;

/* Takes up to max records (oldest first, in the order the server posted them)
   into events. Returns the number taken (1..max), 0 when timeout_ms passed with
   none (timeout_ms 0 never waits; KQVXI_INFINITE waits until a record, a
   signal, an interrupt or the server's end). Waits for the server to hand the
   ring's lock over for at most 500 ms (then KQVXI_E_TIMEOUT).
   Errors: KQVXI_E_INTERRUPTED (kqvxi_client_interrupt, or on Linux a signal
   handled by this thread while it waited); KQVXI_E_RESTARTED (once, see
   KQVXI_OPEN_REREGISTER); KQVXI_E_SERVER_GONE (the server ended and the ring is
   empty); KQVXI_E_CLOSED; KQVXI_E_ARG. A KQVXI_CLASS_UNREGISTERED record is the
   last one of a registration; a handle's own close discards it with the ring,
   so a read meets it only when the registration was ended by a low-level
   unregister (kqvxi/client.h). */
KQVXI_API int kqvxi_client_read(kqvxi_client* client, kqvxi_event* events, int max,
                                uint32_t timeout_ms);

/* Makes the read that waits on the handle now, or else the next read that
   would wait, return KQVXI_E_INTERRUPTED. Never blocks. KQVXI_OK or
   KQVXI_E_ARG. */
KQVXI_API int kqvxi_client_interrupt(kqvxi_client* client);

/* Something to wait on in an event loop, in *descriptor: on Linux a file
   descriptor (cast it to int) that polls readable when records may be waiting,
   and within about 100 ms after the server ended or was replaced (poll, epoll,
   select, asyncio's add_reader); on Windows the wake event's HANDLE (cast it to
   HANDLE) for WaitForMultipleObjects, which a server's end does not set: there,
   also call kqvxi_client_read with timeout 0 now and then (say once a second)
   to learn of it. When the descriptor is ready, call kqvxi_client_read with
   timeout 0 until it returns 0: that re-arms it; a negative status (e.g.
   KQVXI_E_SERVER_GONE, KQVXI_E_RESTARTED) is the news it brought. Owned by the
   handle: do not close or read it. On Linux the first call starts a helper
   thread of the library that forwards wake-ups to the descriptor (it adds
   about 10 us to a wake-up).
   KQVXI_OK, KQVXI_E_ARG, KQVXI_E_SYSTEM or KQVXI_E_CLOSED. */
KQVXI_API int kqvxi_client_descriptor(kqvxi_client* client, intptr_t* descriptor);

/* ---- Loss and state ------------------------------------------------------ */

typedef struct kqvxi_stats {
    /* From the server, since this process's current registration. */
    uint64_t delivered;         /* records appended to this client's ring */
    uint64_t dropped;           /* the sum of the three causes below */
    uint64_t dropped_full;      /* the ring was full */
    uint64_t dropped_ended;     /* the server judged the client ended */
    uint64_t dropped_lock_kept; /* this process held the ring's lock too long */
    uint64_t lock_waits;        /* posts that waited for this process to release the lock */
    /* From this handle. */
    uint64_t received;        /* records returned by reads, over every registration */
    uint32_t server_restarts; /* times the handle re-registered with a new server */
    uint32_t slot;            /* this client's slot, 0..49 */
    uint32_t server_pid;      /* process id of the current server */
    uint32_t controller;
} kqvxi_stats;

/* Fills *stats. Reads the server's statistics object: no request, no side
   effect, never blocks. KQVXI_OK, KQVXI_E_ARG, KQVXI_E_NOT_REGISTERED (no slot
   with the current server: the counters from the server are then 0),
   KQVXI_E_CLOSED. */
KQVXI_API int kqvxi_client_stats(kqvxi_client* client, kqvxi_stats* stats);

/* ---- A server's state (for status tools; needs no registration) ---------- */

typedef struct kqvxi_server_info {
    uint32_t controller;
    uint32_t pid;       /* the server's process id */
    uint32_t instance;  /* differs for every start of a server */
    uint32_t clients;   /* registered clients */
    uint64_t uptime_ms; /* since the server started */
} kqvxi_server_info;

typedef struct kqvxi_client_info {
    uint32_t slot;
    uint32_t pid;
    uint32_t alive;        /* 1 when the process runs, 0 when it ended (swept later) */
    uint32_t flag_classes; /* bit c set: class c is selected (bit 1 always) */
    uint64_t delivered;
    uint64_t dropped_full;
    uint64_t dropped_ended;
    uint64_t dropped_lock_kept;
    uint64_t lock_waits;
    /* The tables as the client asked for them (bit n-1: level n; channel bits as
       for kqvxi_select_channel, 50 as bit 14 and 60 as bit 15). */
    uint16_t level_masks[KQVXI_LEVEL_INDEXES];
    uint16_t source_level_masks[KQVXI_SOURCE_INDEXES];
    uint16_t channel_masks[KQVXI_CHANNEL_INDEXES];
} kqvxi_client_info;

/* Reads the statistics object of controller's server into *server and up to
   max_clients entries of clients (may be null when max_clients is 0), lowest
   slot first. Returns the number of registered clients (which may exceed
   max_clients), KQVXI_E_NO_SERVER (no server runs), KQVXI_E_ARG. No request is
   sent, nothing changes; never blocks. */
KQVXI_API int kqvxi_server_status(uint16_t controller, kqvxi_server_info* server,
                                  kqvxi_client_info* clients, int max_clients);

#ifdef __cplusplus
}
#endif
#endif
