// Win32 backend: whether a standard stream is a console.
#include <windows.h>

#include "platform/console.h"

bool OsIsTerminal(int stream) {
    if (stream != 1 && stream != 2) {
        return false;
    }
    DWORD which = stream == 2 ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE;
    // Only a console answers GetConsoleMode; a file or a pipe does not.
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(which), &mode) != FALSE;
}
