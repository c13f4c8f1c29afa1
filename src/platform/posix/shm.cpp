// Named shared objects with Win32 lifetime over POSIX shared memory: name
// translation, create-or-open with a truthful "already existed", and the close
// protocol that unlinks the name when the last holder anywhere lets go (what
// holders that died or exited leave behind is shm_cleanup.cpp's). Objects
// are files in the directory of shm_dir.cpp, opened relative to it and never
// through a link; their pages are reserved when they are sized, so a full file
// system is an error at create or open, never a SIGBUS at a later write.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <time.h>

#include <cstdio>
#include <cstring>

#include "platform/atomic.h"
#include "platform/posix/internal.h"

namespace {

// Byte 0: every holder keeps a shared lock on it. Byte 1: creation/destruction lock.
constexpr off_t HOLDER_BYTE = 0;
constexpr off_t CREATION_BYTE = 1;

// How often an open retries when the name was unlinked or replaced under it.
constexpr int OPEN_RETRIES = 100;

// Longest POSIX name we produce; NAME_MAX (255) counts the part after the slash.
constexpr std::size_t MAX_POSIX_NAME = 200;

// The creation lock is held by a process only for the few system calls of a
// create, an open or a close; one that holds it longer (stopped, or hostile) must
// not hold us. Tries back off from 1 ms to 10 ms and give up after this bound.
constexpr std::uint64_t CREATION_LOCK_BOUND_MS = 200;
constexpr long CREATION_BACKOFF_FIRST_MS = 1;
constexpr long CREATION_BACKOFF_MAX_MS = 10;

const char* KindPrefix(PxShmKind kind) {
    switch (kind) {
        case PX_SHM_MAPPING:
            return "/kqvxi.map.";
        case PX_SHM_EVENT:
            return "/kqvxi.evt.";
        case PX_SHM_MUTEX:
            return "/kqvxi.mtx.";
    }
    return "/kqvxi.unknown.";
}

// Sets (F_RDLCK/F_WRLCK) or clears (F_UNLCK) an OFD lock on one byte.
bool LockByte(int fd, off_t byte, short type, bool wait) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    fl.l_pid = 0;
    for (;;) {
        if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

// Takes the creation lock (byte 1) within CREATION_LOCK_BOUND_MS: non-blocking
// tries with a growing sleep between them. False with EBUSY when the bound
// passed: the object counts as busy.
bool LockCreation(int fd) {
    const std::uint64_t start = px_now_ms();
    long sleepMs = CREATION_BACKOFF_FIRST_MS;
    for (;;) {
        if (LockByte(fd, CREATION_BYTE, F_WRLCK, false)) {
            return true;
        }
        if (errno != EAGAIN && errno != EACCES) {
            return false;
        }
        if (px_now_ms() - start >= CREATION_LOCK_BOUND_MS) {
            errno = EBUSY;
            return false;
        }
        timespec ts{0, sleepMs * 1000000L};
        nanosleep(&ts, nullptr);
        sleepMs = sleepMs * 2 < CREATION_BACKOFF_MAX_MS ? sleepMs * 2 : CREATION_BACKOFF_MAX_MS;
    }
}

// The object's file name inside the directory ("kqvxi.<kind>.<escaped name>").
const char* FileName(const char* posixName) {
    return posixName + 1;
}

// True when the name still names the object open on fd.
bool SameObject(int fd, const char* posixName) {
    struct stat mine {};
    struct stat theirs {};
    int dir = px_shm_dir_fd();
    return dir >= 0 && fstat(fd, &mine) == 0 &&
           fstatat(dir, FileName(posixName), &theirs, AT_SYMLINK_NOFOLLOW) == 0 &&
           theirs.st_dev == mine.st_dev && theirs.st_ino == mine.st_ino;
}

// Reserves the pages of [0, size): a full file system fails here (ENOSPC)
// instead of raising SIGBUS at the first write through a mapping.
bool Reserve(int fd, std::size_t size) {
    int rc = posix_fallocate(fd, 0, static_cast<off_t>(size));
    if (rc != 0) {
        errno = rc;
        return false;
    }
    return true;
}

// Sets the object's size, zero-filled and reserved: a stale object's old
// contents are dropped. On failure the object is left empty, so pages reserved
// before the file system ran out go back to it.
bool ZeroFill(int fd, std::size_t size) {
    if (ftruncate(fd, 0) == 0 && ftruncate(fd, static_cast<off_t>(size)) == 0 &&
        Reserve(fd, size)) {
        return true;
    }
    int saved = errno;
    (void)!ftruncate(fd, 0);
    errno = saved;
    return false;
}

// Opens (and on first use locks) the named object; fills shm->size. Returns the
// descriptor with a shared lock on byte 0, or -1. With create false only an
// existing object of at least size bytes is opened (ENOENT, EINVAL otherwise).
int OpenNamed(PxShm* shm, std::size_t size, PxShmInit init, void* context, bool* existed,
              bool create = true) {
    int dir = px_shm_dir_fd();
    if (dir < 0) {
        return -1;
    }
    for (int attempt = 0; attempt < OPEN_RETRIES; ++attempt) {
        // O_NONBLOCK: a FIFO at the name must not hold the open (it is refused below).
        constexpr int FLAGS = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
        bool fresh = create;
        int fd = create ? openat(dir, FileName(shm->posixName), FLAGS | O_CREAT | O_EXCL,
                                 px_shm_object_mode())
                        : openat(dir, FileName(shm->posixName), FLAGS);
        if (create && fd < 0 && errno == EEXIST) {
            fresh = false;
            fd = openat(dir, FileName(shm->posixName), FLAGS);
            if (fd < 0 && errno == ENOENT) {
                continue;  // unlinked between the two opens
            }
        }
        if (fd < 0) {
            return -1;
        }
        if (!px_shm_adopt(fd, fresh) || !LockCreation(fd)) {
            int saved = errno;
            close(fd);
            errno = saved;
            return -1;
        }
        if (!SameObject(fd, shm->posixName)) {
            close(fd);  // unlinked by a last closer meanwhile: start again
            continue;
        }
        bool created = LockByte(fd, HOLDER_BYTE, F_WRLCK, false);
        bool ok = true;
        struct stat st {};
        if (created && !create) {
            // Nobody holds it: a name left behind, not an object being served.
            px_shm_unlink_if_unheld(fd, shm->posixName, false);
            close(fd);
            errno = ENOENT;
            return -1;
        }
        if (!create && (fstat(fd, &st) != 0 || static_cast<std::size_t>(st.st_size) < size)) {
            LockByte(fd, HOLDER_BYTE, F_UNLCK, false);
            LockByte(fd, CREATION_BYTE, F_UNLCK, false);
            close(fd);
            errno = EINVAL;
            return -1;
        }
        if (created) {
            ok = ZeroFill(fd, size);
            shm->size = size;
            if (ok && init != nullptr) {
                void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
                ok = base != MAP_FAILED;
                if (ok) {
                    init(base, context);
                    munmap(base, size);
                }
            }
            // Downgrading our own lock never conflicts.
            ok = ok && LockByte(fd, HOLDER_BYTE, F_RDLCK, false);
        } else {
            // Exclusive holders of byte 0 exist only under the creation lock we hold.
            ok = LockByte(fd, HOLDER_BYTE, F_RDLCK, false) && fstat(fd, &st) == 0;
            shm->size = static_cast<std::size_t>(st.st_size);
            // Shrunk by a holder (Win32 objects never shrink): give it back its
            // size, zero-filled, so every opener can map what it asked for.
            if (ok && shm->size < size) {
                ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
                shm->size = size;
            }
            // Pages a holder punched out (or never reserved) are reserved now, as
            // far as this opener asked: a holder that grew the object beyond that
            // must not make the open fail.
            ok = ok && Reserve(fd, size);
        }
        int saved = errno;
        LockByte(fd, CREATION_BYTE, F_UNLCK, false);
        if (!ok) {
            close(fd);
            errno = saved;
            return -1;
        }
        *existed = !created;
        return fd;
    }
    errno = EAGAIN;
    return -1;
}

}  // namespace

bool px_shm_unlink_if_unheld(int fd, const char* posixName, bool waitForCreation) {
    // Under the creation lock, an exclusive lock on byte 0 proves that no other
    // description anywhere holds the object: it is ours to remove. A wait for the
    // creation lock is bounded (LockCreation); past the bound the name is left
    // for a later sweep rather than waiting on whoever holds it.
    const bool locked =
        waitForCreation ? LockCreation(fd) : LockByte(fd, CREATION_BYTE, F_WRLCK, false);
    if (locked && LockByte(fd, HOLDER_BYTE, F_WRLCK, false) && SameObject(fd, posixName)) {
        int dir = px_shm_dir_fd();
        return dir >= 0 && unlinkat(dir, FileName(posixName), 0) == 0;
    }
    return false;
}

void px_shm_unlock(int fd) {
    LockByte(fd, HOLDER_BYTE, F_UNLCK, false);
    LockByte(fd, CREATION_BYTE, F_UNLCK, false);
}

bool px_shm_name(PxShmKind kind, const char* name, char* out, std::size_t outSize) {
    static constexpr char HEX_DIGITS[] = "0123456789abcdef";
    const char* prefix = KindPrefix(kind);
    std::size_t len = std::strlen(prefix);
    std::size_t limit = outSize - 1 < MAX_POSIX_NAME ? outSize - 1 : MAX_POSIX_NAME;
    if (len >= limit) {
        return false;
    }
    std::memcpy(out, prefix, len);
    // Letters, digits, '-' and '_' stand for themselves; every other byte becomes
    // "%xx", so distinct names stay distinct and no '/' reaches the POSIX name.
    bool truncated = false;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p != 0; ++p) {
        unsigned char c = *p;
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '_';
        std::size_t need = plain ? 1 : 3;
        if (len + need > limit - 18) {
            truncated = true;
            break;
        }
        if (plain) {
            out[len++] = static_cast<char>(c);
        } else {
            out[len++] = '%';
            out[len++] = HEX_DIGITS[c >> 4];
            out[len++] = HEX_DIGITS[c & 15];
        }
    }
    if (truncated) {
        // Long names keep an escaped prefix and end in a hash of the whole name.
        std::uint64_t h = 14695981039346656037ull;
        for (const char* p = name; *p != 0; ++p) {
            h = (h ^ static_cast<unsigned char>(*p)) * 1099511628211ull;
        }
        len += static_cast<std::size_t>(std::snprintf(out + len, outSize - len, ".%016llx",
                                                      static_cast<unsigned long long>(h)));
    }
    out[len] = 0;
    return true;
}

PxShm* px_shm_open_existing(PxShmKind kind, const char* name, std::size_t size) {
    if (size == 0 || name == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    px_shm_sweep_stale();
    PxShm* shm = new PxShm{};
    OsAtomicStoreRelaxed(&shm->refs, 1);
    shm->fd = -1;
    shm->named = true;
    bool wasThere = false;
    if (!px_shm_name(kind, name, shm->posixName, sizeof shm->posixName)) {
        delete shm;
        errno = ENAMETOOLONG;
        return nullptr;
    }
    shm->fd = OpenNamed(shm, size, nullptr, nullptr, &wasThere, false);
    if (shm->fd < 0) {
        int saved = errno;
        delete shm;
        errno = saved;
        return nullptr;
    }
    px_shm_remember(shm);
    return shm;
}

PxShm* px_shm_open(PxShmKind kind, const char* name, std::size_t size, bool mapWhole,
                   PxShmInit init, void* context, bool* existed) {
    if (existed != nullptr) {
        *existed = false;
    }
    if (size == 0) {
        errno = EINVAL;
        return nullptr;
    }
    px_shm_sweep_stale();
    PxShm* shm = new PxShm{};
    OsAtomicStoreRelaxed(&shm->refs, 1);
    shm->fd = -1;
    shm->named = name != nullptr;
    bool wasThere = false;
    if (shm->named) {
        if (!px_shm_name(kind, name, shm->posixName, sizeof shm->posixName)) {
            delete shm;
            errno = ENAMETOOLONG;
            return nullptr;
        }
        shm->fd = OpenNamed(shm, size, init, context, &wasThere);
    } else {
        shm->fd = memfd_create("kqvxi", MFD_CLOEXEC);
        shm->size = size;
        if (shm->fd >= 0 && !ZeroFill(shm->fd, size)) {
            int saved = errno;
            close(shm->fd);
            shm->fd = -1;
            errno = saved;
        }
        if (shm->fd >= 0 && init != nullptr) {
            void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, shm->fd, 0);
            if (base == MAP_FAILED) {
                close(shm->fd);
                shm->fd = -1;
            } else {
                init(base, context);
                munmap(base, size);
            }
        }
    }
    if (shm->fd < 0) {
        int saved = errno;
        delete shm;
        errno = saved;
        return nullptr;
    }
    if (mapWhole) {
        if (shm->size < size) {
            px_shm_put(shm);
            errno = EINVAL;
            return nullptr;
        }
        shm->base = mmap(nullptr, shm->size, PROT_READ | PROT_WRITE, MAP_SHARED, shm->fd, 0);
        if (shm->base == MAP_FAILED) {
            shm->base = nullptr;
            int saved = errno;
            px_shm_put(shm);
            errno = saved;
            return nullptr;
        }
        px_guard_add(shm->base, shm->size);
    }
    if (shm->named) {
        px_shm_remember(shm);
    }
    if (existed != nullptr) {
        *existed = wasThere;
    }
    return shm;
}

void px_shm_put(PxShm* shm) {
    if (OsAtomicFetchSub(&shm->refs, 1) != 1) {
        return;
    }
    if (shm->named) {
        px_shm_forget(shm);
    }
    if (shm->base != nullptr) {
        px_guard_remove(shm->base);
        munmap(shm->base, shm->size);
    }
    if (shm->named) {
        px_shm_unlink_if_unheld(shm->fd, shm->posixName, true);
    }
    // Views mapped from this description keep it open after close, and with it
    // its locks: release them explicitly so only handles count as holders.
    px_shm_unlock(shm->fd);
    close(shm->fd);
    delete shm;
}
