// Named page-file-backed shared memory, as Win32 CreateFileMappingA / MapViewOfFile give it.
#pragma once
#include <cstdint>
#include "platform/types.h"

// Creates the named mapping of size bytes, zero-filled, or opens the existing one.
// *existed (when given) is true exactly when the object already existed (Win32's
// ERROR_ALREADY_EXISTS); on failure it is false, on both backends. The name lives while any process
// holds a handle; a view keeps the memory (and its contents) for whoever maps it, not the name. A
// holder killed with SIGKILL keeps neither alive. Objects are readable and writable by the creating
// user only. Returns OS_NO_HANDLE on failure.
OsHandle OsCreateMapping(const char* name, std::uint32_t size, bool* existed);

// Maps size bytes of the mapping from offset 0 with write access. Null on failure.
void* OsMapView(OsHandle mapping, std::uint32_t size);

// Unmaps a view from OsMapView or OsMapViewReadOnly (cast). False on failure (e.g. not a view).
bool OsUnmapView(void* view);

// Whether another open of the mapping's object exists anywhere: Alone when only
// this handle's open holds it (every other holder, in this or any process, has
// closed it or ended), Shared when some other open holds it, Unknown when the
// backend cannot tell. POSIX answers from the byte-0 holder locks; Win32 keeps
// no such record and always answers Unknown.
enum class OsMappingSharing { Alone, Shared, Unknown };
OsMappingSharing OsQueryMappingSharing(OsHandle mapping);

// Opens the existing named mapping (never creates one) and checks that it holds
// at least size bytes. OS_NO_HANDLE when there is none or it is smaller. On
// POSIX the object must belong to this process's user, as for OsCreateMapping.
OsHandle OsOpenMapping(const char* name, std::uint32_t size);

// Maps size bytes of the mapping from offset 0 for reading only. Null on failure.
const void* OsMapViewReadOnly(OsHandle mapping, std::uint32_t size);
