// Where the POSIX backend keeps named objects, for tests and tools that look at
// the files themselves (modes, holders, leftovers). Linux builds only.
#pragma once
#include <cstddef>

// The directory of this process's named objects: <base>/kqvxi-<uid>[.<namespace>]
// (or the first free "~N" variant of it), base being $KQVXI_SHM_DIR or /dev/shm.
// Resolves it on first use. False (errno set) when it cannot be found or made, or
// out is too small.
bool px_shm_dir_path(char* out, std::size_t outSize);

// The full file path of the named object of kind "map", "evt" or "mtx" called
// name, as OsCreateMapping, OsCreateEvent and OsCreateMutex would open it.
bool px_shm_path(const char* kind, const char* name, char* out, std::size_t outSize);
