// Console queries on POSIX.
#include "platform/console.h"

#include <unistd.h>

bool OsIsTerminal(int stream) {
    return isatty(stream == 2 ? STDERR_FILENO : STDOUT_FILENO) == 1;
}
