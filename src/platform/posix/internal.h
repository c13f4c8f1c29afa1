// Internal records of the POSIX backend: the process-local handle table and the
// per-kind operations of the objects it holds, the named shared objects that
// back mappings, named events and named mutexes, the futex and clock helpers,
// and the fault guard of shared mappings. Only files in this folder include it.
//
// What is emulated and how:
// - Handles are small indexes into a process-local table of reference-counted
//   objects (handles.cpp); each object's header points at its kind's operations
//   table, through which close and OsWaitForObject reach the kind's code.
// - A named object lives while any process holds a handle to it, as on Win32:
//   a POSIX shared memory object whose holders keep OFD locks (shm.cpp, the
//   protocol below), so a holder that dies lets go without running any code.
// - Events are a futex word in such an object (event.cpp); named mutexes a
//   robust, recursive, process-shared pthread mutex in one (named_mutex.cpp),
//   whose owner's death reads as "abandoned"; a process is a pidfd that polls
//   readable once it has ended (process.cpp); a thread a futex word it sets as
//   it leaves, and a thread pidfd where the kernel has them (thread.cpp).
// - A holder that shrinks a shared object must not kill the others with SIGBUS
//   (bus_guard.cpp).
//
// Naming: functions one file of the backend offers the others are px_*; records
// are Px*; constants UPPER_SNAKE; helpers private to one file are PascalCase in
// its anonymous namespace. Every atomic word here is a plain integer or pointer
// accessed through platform/atomic.h.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "platform/types.h"

// Kinds of objects a handle can denote. PX_KIND_FREE marks a free table slot.
enum PxKind : std::uint32_t {
    PX_KIND_FREE = 0,
    PX_KIND_EVENT,
    PX_KIND_MAPPING,
    PX_KIND_PROCESS,
    PX_KIND_THREAD,
    PX_KIND_MUTEX,
};

struct PxObject;

// What a kind of object does behind the generic handle operations; one constant
// table per kind, in the file that implements the kind. destroy runs when the
// last reference goes; wait is OsWaitForObject's work for the kind, null for a
// kind that cannot be waited on (a mapping, as on Win32).
struct PxKindOps {
    PxKind kind;
    void (*destroy)(PxObject* obj);
    std::uint32_t (*wait)(PxObject* obj, std::uint32_t timeoutMs);
};

// Header of every object a handle refers to. refs counts the handle table's
// reference plus every caller that looked the handle up and has not put it back,
// so a handle closed by one thread while another waits on it stays valid until
// the waiter is done. Read and changed only through platform/atomic.h.
struct PxObject {
    const PxKindOps* ops;
    std::int32_t refs;
};

// Sets up a new object's header with refs references (not yet shared).
void px_object_init(PxObject* obj, const PxKindOps* ops, std::int32_t refs);

// Size of the handle table: enough for 50 clients with their blocks, events,
// processes and locks, and for the test suites.
inline constexpr std::uint32_t PX_MAX_HANDLES = 4096;

// Puts obj (its refs already counting the table) into a free slot and returns
// its handle (slot + 1), or OS_NO_HANDLE when the table is full.
OsHandle px_handle_insert(PxObject* obj);

// Looks a handle up, taking a reference; null when the handle is unknown or of
// another kind (PX_KIND_FREE accepts any kind). Give it back with px_object_put.
PxObject* px_handle_get(OsHandle handle, PxKind kind);

// Drops one reference; the last one destroys the object through its kind's table.
void px_object_put(PxObject* obj);

// A short look at an event without taking a reference: the object is pinned by
// a per-thread hazard slot that OsCloseHandle waits for, so the look costs plain
// loads and stores. Where the thread has no slot (too many threads, or nested
// pins) it falls back to px_handle_get. Give it back with px_handle_unpin, soon:
// a close of the handle waits until then.
struct PxPin {
    PxObject* obj;
    bool counted;  // true: a reference was taken (fallback), false: hazard slot
};
PxPin px_handle_pin_event(OsHandle handle);
void px_handle_unpin(const PxPin& pin);

// ---------------------------------------------------------------------------
// Named shared objects.
//
// Each open of a name gets its own open file description of the POSIX shared
// memory object, holding a shared OFD record lock on byte 0 for as long as this
// process keeps a handle to it: the kernel drops that lock when the
// process dies, however it dies, so a lock held on byte 0 always means a live
// holder. Creation and destruction take an exclusive OFD lock on byte 1, which
// serialises them across processes. A creator that can lock byte 0 exclusively
// knows no live holder exists, so the object is new or left over by dead holders:
// it zero-fills it and reports "created". The last closer that can lock byte 0
// exclusively unlinks the name.

// Object namespaces; each maps to its own POSIX name prefix.
enum PxShmKind : std::uint32_t { PX_SHM_MAPPING, PX_SHM_EVENT, PX_SHM_MUTEX };

// Called by the creator while it still holds the creation lock, so no other
// process sees the object before it is initialised.
using PxShmInit = void (*)(void* base, void* context);

// One open of a shared object in this process. refs counts the handles that
// use it (through platform/atomic.h); the last px_shm_put runs the close
// protocol above.
struct PxShm {
    std::int32_t refs;
    int fd;               // open file description holding the byte-0 lock
    std::size_t size;     // object size in bytes
    void* base;           // whole-object mapping for events and mutexes, else null
    bool named;           // unnamed objects have no name and no locks
    char posixName[256];  // "/kqvxi.<kind>.<escaped name>"
};

// Builds the POSIX name for a Win32-style object name. Deterministic; any name
// maps to a valid POSIX shared memory name. False when out is too small.
bool px_shm_name(PxShmKind kind, const char* name, char* out, std::size_t outSize);

// Creates or opens a shared object of size bytes (name may be null for an
// unnamed one). mapWhole maps it into base. init runs for a new object only.
// *existed (when given) tells whether it existed, and is false on failure.
// Null on failure with errno set.
PxShm* px_shm_open(PxShmKind kind, const char* name, std::size_t size, bool mapWhole,
                   PxShmInit init, void* context, bool* existed);

// Opens an existing named object of at least size bytes, never creating one;
// null (ENOENT, EINVAL for a smaller one) otherwise. Not mapped.
PxShm* px_shm_open_existing(PxShmKind kind, const char* name, std::size_t size);

// Drops one reference; the last runs the close protocol.
void px_shm_put(PxShm* shm);

// The close protocol's last step: removes the name when no description anywhere
// holds the object open on fd (and posixName still names it). Waits for the
// creation lock when asked, else gives up while another process holds it. The
// locks it took stay; px_shm_unlock (or closing fd) drops them.
bool px_shm_unlink_if_unheld(int fd, const char* posixName, bool waitForCreation);
void px_shm_unlock(int fd);

// What holders leave behind (shm_cleanup.cpp). The first call in a process
// removes the names whose holders all died; remember and forget track the named
// objects this process holds, which a normal exit lets go of.
void px_shm_sweep_stale();
void px_shm_remember(PxShm* shm);
void px_shm_forget(PxShm* shm);
// The directory of named objects (shm_dir.cpp): only the service owner, and its
// group when one is configured, can create names in it. Resolved on first use;
// -1 with errno when it cannot be found or made.
int px_shm_dir_fd();

// Mode of new objects: 0600, or 0660 with a service group.
mode_t px_shm_object_mode();

// Checks an object just opened in the directory (after setting the mode and
// group of one this open created): a regular file of the service owner, of
// this process's user or (with a service group) of that group, with no bits for
// others. False with EACCES otherwise.
bool px_shm_adopt(int fd, bool created);

// ---------------------------------------------------------------------------
// Futex and clock helpers (futex.cpp).

// Waits while *word == expected, up to timeoutMs (OS_INFINITE: no limit). Works
// on memory shared between processes. Returns false on time-out.
bool px_futex_wait(std::uint32_t* word, std::uint32_t expected, std::uint32_t timeoutMs);
void px_futex_wake(std::uint32_t* word, int count);

// Monotonic milliseconds, for deadlines.
std::uint64_t px_now_ms();

// Milliseconds left until deadline (OS_INFINITE stays OS_INFINITE).
std::uint32_t px_remaining_ms(std::uint64_t deadline, std::uint32_t timeoutMs);

// ---------------------------------------------------------------------------
// Fault guard for shared mappings (bus_guard.cpp).
//
// Another process that holds a named object can shrink it (ftruncate); touching
// a page of this process's mapping beyond the new end then raises SIGBUS. Every
// range this backend maps from a named object is registered here; a SIGBUS
// inside one replaces the range with private zero pages, so the access completes
// and the range reads as zeros from then on (its contents are lost to this
// process, as the shrinking process wanted). A SIGBUS anywhere else goes to the
// handler that was installed before, or ends the process as without a guard.

// Most views of mappings this process keeps at once (mapping.cpp's table); the
// guard table holds those and one whole-object mapping per handle.
inline constexpr std::size_t PX_MAX_VIEWS = 4096;

// Registers [addr, addr + length); installs the handler on first use. False when
// the guard table is full (the mapping then stays unguarded).
bool px_guard_add(void* addr, std::size_t length);
// Unregisters the range that starts at addr (before it is unmapped).
void px_guard_remove(void* addr);

// The calling thread's kernel id (gettid), without a system call after the first
// in each thread; right in a forked child too.
std::uint32_t px_self_tid();
