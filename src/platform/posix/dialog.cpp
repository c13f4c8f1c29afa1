// The message box as an Abort/Retry/Ignore prompt on the controlling terminal,
// and debugger output to the system log; both replaceable by test hooks.
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/atomic.h"
#include "platform/dialog.h"

namespace {

OsMessageBoxHook messageBoxHook = nullptr;  // through platform/atomic.h
OsDebugOutputHook debugOutputHook = nullptr;

// How often an unreadable answer is asked for again before the box gives up.
constexpr int PROMPT_TRIES = 3;

void WriteAll(int fd, const char* text) {
    std::size_t len = std::strlen(text);
    while (len > 0) {
        ssize_t n = write(fd, text, len);
        if (n <= 0) {
            return;
        }
        text += n;
        len -= static_cast<std::size_t>(n);
    }
}

// Reads one line from fd into buf; false on end of input or error.
bool ReadLine(int fd, char* buf, std::size_t size) {
    std::size_t len = 0;
    for (;;) {
        char c = 0;
        ssize_t n = read(fd, &c, 1);
        if (n <= 0) {
            return false;
        }
        if (c == '\n') {
            break;
        }
        if (len + 1 < size) {
            buf[len++] = c;
        }
    }
    buf[len] = 0;
    return true;
}

int Prompt(const char* text, const char* caption) {
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return 0;  // no controlling terminal: the box cannot be shown
    }
    WriteAll(fd, "\n");
    WriteAll(fd, caption != nullptr ? caption : "");
    WriteAll(fd, "\n");
    WriteAll(fd, text != nullptr ? text : "");
    WriteAll(fd, "\n");
    int answer = 0;
    for (int i = 0; i < PROMPT_TRIES && answer == 0; ++i) {
        WriteAll(fd, "[A]bort, [R]etry, [I]gnore? ");
        char line[64];
        if (!ReadLine(fd, line, sizeof line)) {
            break;
        }
        const char* p = line;
        while (*p == ' ' || *p == '\t') {
            ++p;
        }
        switch (std::tolower(static_cast<unsigned char>(*p))) {
            case 'a':
                answer = OS_IDABORT;
                break;
            case 'r':
                answer = OS_IDRETRY;
                break;
            case 'i':
                answer = OS_IDIGNORE;
                break;
            default:
                break;
        }
    }
    close(fd);
    return answer;
}

}  // namespace

int OsMessageBox(const char* text, const char* caption, std::uint32_t style) {
    OsMessageBoxHook hook = OsAtomicLoad(&messageBoxHook);
    if (hook != nullptr) {
        return hook(text, caption, style);
    }
    return Prompt(text, caption);
}

void OsDebugOutput(const char* text) {
    OsDebugOutputHook hook = OsAtomicLoad(&debugOutputHook);
    if (hook != nullptr) {
        hook(text);
        return;
    }
    syslog(LOG_USER | LOG_DEBUG, "%s", text != nullptr ? text : "");
}

void OsSetMessageBoxHook(OsMessageBoxHook hook) {
    OsAtomicStore(&messageBoxHook, hook);
}

void OsSetDebugOutputHook(OsDebugOutputHook hook) {
    OsAtomicStore(&debugOutputHook, hook);
}
