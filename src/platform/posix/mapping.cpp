// Named shared-memory mappings and their views: handles to PX_SHM_MAPPING
// objects and the process-local table of mapped views. As on Win32, the name
// lives while handles to it exist anywhere; a view keeps its memory (the pages
// stay mapped after the name is gone) but not the name, so a create after the
// last handle closed makes a new object even while old views remain.
#include <errno.h>
#include <sys/mman.h>

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
constexpr std::size_t MAX_VIEWS = 4096;
std::mutex viewLock;
PxView views[MAX_VIEWS];

}  // namespace

void px_mapping_destroy(PxObject* obj) {
    PxMapping* m = reinterpret_cast<PxMapping*>(obj);
    px_shm_put(m->shm);
    delete m;
}

OsHandle OsCreateMapping(const char* name, std::uint32_t size, bool* existed) {
    if (OsFaultHit(OS_FAULT_CREATE_MAPPING)) {
        errno = ENOMEM;
        return OS_NO_HANDLE;
    }
    bool wasThere = false;
    PxShm* shm = px_shm_open(PX_SHM_MAPPING, name, size, false, nullptr, nullptr, &wasThere);
    if (shm == nullptr) {
        return OS_NO_HANDLE;
    }
    PxMapping* m = new PxMapping{};
    m->header.kind = PX_KIND_MAPPING;
    m->header.refs.store(1);
    m->shm = shm;
    OsHandle h = px_handle_insert(&m->header);
    if (h == OS_NO_HANDLE) {
        px_mapping_destroy(&m->header);
        return OS_NO_HANDLE;
    }
    if (existed != nullptr) {
        *existed = wasThere;
    }
    return h;
}

void* OsMapView(OsHandle mapping, std::uint32_t size) {
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
        void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, shm->fd, 0);
        if (p != MAP_FAILED) {
            addr = p;
        }
    } else {
        errno = EINVAL;
    }
    if (addr != nullptr) {
        std::lock_guard<std::mutex> guard(viewLock);
        std::size_t slot = 0;
        while (slot < MAX_VIEWS && views[slot].addr != nullptr) {
            ++slot;
        }
        if (slot == MAX_VIEWS) {
            munmap(addr, length);
            addr = nullptr;
            errno = ENOMEM;
        } else {
            views[slot] = PxView{addr, length};
        }
    }
    px_object_put(obj);
    return addr;
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
    munmap(found.addr, found.length);
    return true;
}
