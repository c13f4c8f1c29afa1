// Win32 backend: the message box and the debugger output, with their test hooks.
#include <windows.h>

#include "platform/atomic.h"
#include "platform/dialog.h"

namespace {
OsMessageBoxHook messageBoxHook = nullptr;  // through platform/atomic.h
OsDebugOutputHook debugOutputHook = nullptr;
}  // namespace

int OsMessageBox(const char* text, const char* caption, std::uint32_t style) {
    if (OsMessageBoxHook hook = OsAtomicLoad(&messageBoxHook)) {
        return hook(text, caption, style);
    }
    // A box that could not be shown answers 0, or -1 under Wine without a display.
    int answer = MessageBoxA(nullptr, text, caption, style);
    return answer > 0 ? answer : 0;
}

void OsDebugOutput(const char* text) {
    if (OsDebugOutputHook hook = OsAtomicLoad(&debugOutputHook)) {
        hook(text);
        return;
    }
    OutputDebugStringA(text);
}

void OsSetMessageBoxHook(OsMessageBoxHook hook) {
    OsAtomicStore(&messageBoxHook, hook);
}

void OsSetDebugOutputHook(OsDebugOutputHook hook) {
    OsAtomicStore(&debugOutputHook, hook);
}
