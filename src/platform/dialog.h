// The message box and the debugger output, each with a test seam.
#pragma once
#include <cstdint>

// Message box answers, with Win32's values.
inline constexpr int OS_IDABORT = 3;
inline constexpr int OS_IDRETRY = 4;
inline constexpr int OS_IDIGNORE = 5;

// Shows a modal message box with no owner (MessageBoxA). Returns the answer, or 0
// when the box failed. On POSIX it is a prompt on the controlling terminal; no
// terminal or no answer counts as failed.
int OsMessageBox(const char* text, const char* caption, std::uint32_t style);

// Writes text to the debugger output (OutputDebugStringA); on POSIX to the system
// log at debug priority.
void OsDebugOutput(const char* text);

// Test seams: when set, the hook replaces the real call. Null restores it.
using OsMessageBoxHook = int (*)(const char* text, const char* caption, std::uint32_t style);
void OsSetMessageBoxHook(OsMessageBoxHook hook);
using OsDebugOutputHook = void (*)(const char* text);
void OsSetDebugOutputHook(OsDebugOutputHook hook);
