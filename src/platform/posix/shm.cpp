// Named shared objects with Win32 lifetime over POSIX shared memory: name
// translation, create-or-open with a truthful "already existed", and the close
// protocol that unlinks the name when the last holder anywhere lets go. What
// holders that died or exited leave behind is shm_cleanup.cpp's.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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

// True when posixName still names the object open on fd.
bool SameObject(int fd, const char* posixName) {
    struct stat mine {};
    if (fstat(fd, &mine) != 0) {
        return false;
    }
    int other = shm_open(posixName, O_RDONLY | O_CLOEXEC, 0);
    if (other < 0) {
        return false;
    }
    struct stat theirs {};
    bool same =
        fstat(other, &theirs) == 0 && theirs.st_dev == mine.st_dev && theirs.st_ino == mine.st_ino;
    close(other);  // closing another description never drops the locks held on fd
    return same;
}

// Sets the object's size, zero-filled: a stale object's old contents are dropped.
bool ZeroFill(int fd, std::size_t size) {
    return ftruncate(fd, 0) == 0 && ftruncate(fd, static_cast<off_t>(size)) == 0;
}

}  // namespace

bool px_shm_unlink_if_unheld(int fd, const char* posixName, bool waitForCreation) {
    // Under the creation lock, an exclusive lock on byte 0 proves that no other
    // description anywhere holds the object: it is ours to remove.
    if (LockByte(fd, CREATION_BYTE, F_WRLCK, waitForCreation) &&
        LockByte(fd, HOLDER_BYTE, F_WRLCK, false) && SameObject(fd, posixName)) {
        return shm_unlink(posixName) == 0;
    }
    return false;
}

void px_shm_unlock(int fd) {
    LockByte(fd, HOLDER_BYTE, F_UNLCK, false);
    LockByte(fd, CREATION_BYTE, F_UNLCK, false);
}

namespace {

// Opens (and on first use locks) the named object; fills shm->size. Returns the
// descriptor with a shared lock on byte 0, or -1.
int OpenNamed(PxShm* shm, std::size_t size, PxShmInit init, void* context, bool* existed) {
    for (int attempt = 0; attempt < OPEN_RETRIES; ++attempt) {
        int fd = shm_open(shm->posixName, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) {
            return -1;
        }
        // A name another user created is refused, never adopted: it could have
        // been put there to catch this process's objects (and root could open it).
        struct stat owner {};
        if (fstat(fd, &owner) != 0 || owner.st_uid != geteuid()) {
            close(fd);
            errno = EACCES;
            return -1;
        }
        if (!LockByte(fd, CREATION_BYTE, F_WRLCK, true)) {
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
            close(shm->fd);
            shm->fd = -1;
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
