// kq-object-dir: prints the directory that holds this process's named objects
// (the one its namespace and user select), so that the shell tests can list and
// compare the objects their programs leave, wherever the platform puts them.
#include <cstdio>

#include "platform/posix/shm_path.h"

int main() {
    char dir[512];
    if (!px_shm_dir_path(dir, sizeof dir)) {
        std::perror("kq-object-dir");
        return 1;
    }
    std::printf("%s\n", dir);
    return 0;
}
