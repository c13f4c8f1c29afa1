// Win32 backend: named page-file-backed mappings and their views.
#include <windows.h>

#include "platform/fault.h"
#include "platform/mapping.h"

OsHandle OsCreateMapping(const char* name, std::uint32_t size, bool* existed) {
    if (existed != nullptr) {
        *existed = false;
    }
    if (OsFaultHit(OS_FAULT_CREATE_MAPPING)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return OS_NO_HANDLE;
    }
    HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name);
    // Read the error right after the call: it alone tells "opened an existing mapping".
    DWORD error = GetLastError();
    if (h == nullptr) {
        return OS_NO_HANDLE;
    }
    if (existed != nullptr) {
        *existed = error == ERROR_ALREADY_EXISTS;
    }
    SetLastError(error);
    return reinterpret_cast<OsHandle>(h);
}

void* OsMapView(OsHandle mapping, std::uint32_t size) {
    if (OsFaultHit(OS_FAULT_MAP_VIEW)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return MapViewOfFile(reinterpret_cast<HANDLE>(mapping), FILE_MAP_WRITE, 0, 0, size);
}

OsHandle OsOpenMapping(const char* name, std::uint32_t size) {
    if (OsFaultHit(OS_FAULT_CREATE_MAPPING)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return OS_NO_HANDLE;
    }
    HANDLE h = OpenFileMappingA(FILE_MAP_READ, FALSE, name);
    if (h == nullptr) {
        return OS_NO_HANDLE;
    }
    // A view of size bytes fails on a smaller section: that is the size check.
    void* probe = MapViewOfFile(h, FILE_MAP_READ, 0, 0, size);
    if (probe == nullptr) {
        CloseHandle(h);
        return OS_NO_HANDLE;
    }
    UnmapViewOfFile(probe);
    return reinterpret_cast<OsHandle>(h);
}

const void* OsMapViewReadOnly(OsHandle mapping, std::uint32_t size) {
    if (OsFaultHit(OS_FAULT_MAP_VIEW)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return MapViewOfFile(reinterpret_cast<HANDLE>(mapping), FILE_MAP_READ, 0, 0, size);
}

bool OsUnmapView(void* view) {
    if (OsFaultHit(OS_FAULT_UNMAP_VIEW)) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return false;
    }
    // UnmapViewOfFile also takes an address inside a view and unmaps the whole
    // view. Only the address MapViewOfFile gave is accepted here, so a stray
    // pointer cannot take a view away from its owner.
    MEMORY_BASIC_INFORMATION info;
    if (view == nullptr || VirtualQuery(view, &info, sizeof info) != sizeof info ||
        info.AllocationBase != view || info.Type != MEM_MAPPED) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return false;
    }
    return UnmapViewOfFile(view) != FALSE;
}

// Win32 keeps no record of who else has a section open that a process can
// read, so the caller keeps its own bound (see the client library's lock wait).
OsMappingSharing OsQueryMappingSharing(OsHandle mapping) {
    (void)mapping;
    return OsMappingSharing::Unknown;
}
