// Named shared-memory mappings and their views: handles to PX_SHM_MAPPING
// objects and the process-local table of mapped views. As on Win32, the name
// lives while handles to it exist anywhere; a view keeps its memory (the pages
// stay mapped after the name is gone) but not the name, so a create after the
// last handle closed makes a new object even while old views remain. Every
// view is registered with the fault guard (bus_guard.cpp).
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <mutex>

#include "platform/fault.h"
#include "platform/mapping.h"
#include "platform/posix/internal.h"

namespace {

struct PxMapping {
    PxObject header;
    PxShm* shm;
};

// A mapped view; addr null marks a free slot. Guarded by viewLock.
struct PxView {
    void* addr;
    std::size_t length;
};
std::mutex viewLock;
PxView views[PX_MAX_VIEWS];

void DestroyMapping(PxObject* obj) {
    PxMapping* m = reinterpret_cast<PxMapping*>(obj);
    px_shm_put(m->shm);
    delete m;
}

// Not waitable, as on Win32.
constexpr PxKindOps MAPPING_OPS{PX_KIND_MAPPING, DestroyMapping, nullptr};

// A handle for an opened object; the object is released when no handle is had.
OsHandle InsertMapping(PxShm* shm) {
    PxMapping* m = new PxMapping{};
    px_object_init(&m->header, &MAPPING_OPS, 1);
    m->shm = shm;
    OsHandle h = px_handle_insert(&m->header);
    if (h == OS_NO_HANDLE) {
        DestroyMapping(&m->header);
    }
    return h;
}

}  // namespace

OsHandle OsCreateMapping(const char* name, std::uint32_t size, bool* existed) {
    if (existed != nullptr) {
        *existed = false;
    }
    if (OsFaultHit(OS_FAULT_CREATE_MAPPING)) {
        errno = ENOMEM;
        return OS_NO_HANDLE;
    }
    bool wasThere = false;
    PxShm* shm = px_shm_open(PX_SHM_MAPPING, name, size, false, nullptr, nullptr, &wasThere);
    OsHandle h = shm == nullptr ? OS_NO_HANDLE : InsertMapping(shm);
    if (h != OS_NO_HANDLE && existed != nullptr) {
        *existed = wasThere;
    }
    return h;
}

OsHandle OsOpenMapping(const char* name, std::uint32_t size) {
    if (OsFaultHit(OS_FAULT_CREATE_MAPPING)) {
        errno = ENOMEM;
        return OS_NO_HANDLE;
    }
    PxShm* shm = px_shm_open_existing(PX_SHM_MAPPING, name, size);
    return shm == nullptr ? OS_NO_HANDLE : InsertMapping(shm);
}

namespace {

void* MapView(OsHandle mapping, std::uint32_t size, int protection) {
    if (OsFaultHit(OS_FAULT_MAP_VIEW)) {
        errno = ENOMEM;
        return nullptr;
    }
    PxObject* obj = px_handle_get(mapping, PX_KIND_MAPPING);
    if (obj == nullptr) {
        errno = EBADF;
        return nullptr;
    }
    PxShm* shm = reinterpret_cast<PxMapping*>(obj)->shm;
    // Size 0 maps the whole object; more than the object holds fails, as on Win32.
    std::size_t length = size == 0 ? shm->size : size;
    void* addr = nullptr;
    if (length <= shm->size) {
        void* p = mmap(nullptr, length, protection, MAP_SHARED, shm->fd, 0);
        if (p != MAP_FAILED) {
            addr = p;
        }
    } else {
        errno = EINVAL;
    }
    if (addr != nullptr) {
        std::lock_guard<std::mutex> guard(viewLock);
        std::size_t slot = 0;
        while (slot < PX_MAX_VIEWS && views[slot].addr != nullptr) {
            ++slot;
        }
        if (slot == PX_MAX_VIEWS) {
            munmap(addr, length);
            addr = nullptr;
            errno = ENOMEM;
        } else {
            views[slot] = PxView{addr, length};
            px_guard_add(addr, length);
        }
    }
    px_object_put(obj);
    return addr;
}

}  // namespace

void* OsMapView(OsHandle mapping, std::uint32_t size) {
    return MapView(mapping, size, PROT_READ | PROT_WRITE);
}

const void* OsMapViewReadOnly(OsHandle mapping, std::uint32_t size) {
    return MapView(mapping, size, PROT_READ);
}

bool OsUnmapView(void* view) {
    if (OsFaultHit(OS_FAULT_UNMAP_VIEW)) {
        errno = EIO;
        return false;
    }
    if (view == nullptr) {
        return false;
    }
    PxView found{};
    {
        std::lock_guard<std::mutex> guard(viewLock);
        for (PxView& v : views) {
            if (v.addr == view) {
                found = v;
                v = PxView{};
                break;
            }
        }
    }
    if (found.addr == nullptr) {
        errno = EINVAL;
        return false;
    }
    px_guard_remove(found.addr);
    munmap(found.addr, found.length);
    return true;
}

// Every open of a named object holds a shared OFD lock on byte 0 until its
// process closes it or dies (shm.cpp); a test for an exclusive lock there, from
// this open, sees exactly the other opens. An object being created or removed
// meanwhile holds byte 0 exclusively for a moment and reads as shared.
OsMappingSharing OsQueryMappingSharing(OsHandle mapping) {
    PxObject* obj = px_handle_get(mapping, PX_KIND_MAPPING);
    if (obj == nullptr) {
        return OsMappingSharing::Unknown;
    }
    const PxShm* shm = reinterpret_cast<PxMapping*>(obj)->shm;
    OsMappingSharing answer = OsMappingSharing::Unknown;
    if (shm->named) {
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = 0;
        fl.l_len = 1;
        fl.l_pid = 0;
        if (fcntl(shm->fd, F_OFD_GETLK, &fl) == 0) {
            answer = fl.l_type == F_UNLCK ? OsMappingSharing::Alone : OsMappingSharing::Shared;
        }
    }
    px_object_put(obj);
    return answer;
}
