// Win32 backend: process identity, process handles, spawning and killing.
#include <windows.h>

#include <cstring>
#include <string>

#include "platform/fault.h"
#include "platform/process.h"

namespace {
// Appends arg to the command line so that the C runtime's argument parser of
// the new process gives it back unchanged: quoted when it is empty or holds
// blanks or quotes, with backslashes doubled where they precede a quote.
void AppendQuoted(std::string& line, const char* arg) {
    if (!line.empty()) {
        line += ' ';
    }
    if (*arg != '\0' && std::strpbrk(arg, " \t\n\v\"") == nullptr) {
        line += arg;
        return;
    }
    line += '"';
    for (const char* p = arg;; ++p) {
        std::size_t backslashes = 0;
        while (*p == '\\') {
            ++backslashes;
            ++p;
        }
        if (*p == '\0') {
            // The closing quote follows: every backslash before it is doubled.
            line.append(backslashes * 2, '\\');
            break;
        }
        if (*p == '"') {
            line.append(backslashes * 2 + 1, '\\');
        } else {
            line.append(backslashes, '\\');
        }
        line += *p;
    }
    line += '"';
}
}  // namespace

std::uint32_t OsCurrentProcessId() {
    return GetCurrentProcessId();
}

OsHandle OsOpenProcess(std::uint32_t pid) {
    if (OsFaultHit(OS_FAULT_OPEN_PROCESS)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return OS_NO_HANDLE;
    }
    // Query access for the exit code; SYNCHRONIZE so that the handle can be waited on.
    return reinterpret_cast<OsHandle>(
        OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, pid));
}

bool OsGetExitCodeProcess(OsHandle process, std::uint32_t* exitCode) {
    if (exitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(reinterpret_cast<HANDLE>(process), &code)) {
        return false;
    }
    *exitCode = code;
    return true;
}

OsHandle OsSpawnProcess(const char* exe, const char* const* args, std::uint32_t* pid) {
    if (exe == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return OS_NO_HANDLE;
    }
    std::string line;
    AppendQuoted(line, exe);
    for (const char* const* a = args; a != nullptr && *a != nullptr; ++a) {
        AppendQuoted(line, *a);
    }
    // The child shares this process's standard handles (and console, if any),
    // so its diagnostics land where ours do. The layer creates all its objects
    // not inheritable, so none of them passes to the child.
    STARTUPINFOA si;
    std::memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi;
    std::memset(&pi, 0, sizeof pi);
    if (!CreateProcessA(exe, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        return OS_NO_HANDLE;
    }
    CloseHandle(pi.hThread);
    if (pid != nullptr) {
        *pid = pi.dwProcessId;
    }
    return reinterpret_cast<OsHandle>(pi.hProcess);
}

bool OsKillProcess(OsHandle process) {
    // 137 is what a shell reports for a process ended by SIGKILL, so a killed
    // process reads the same on both backends.
    return TerminateProcess(reinterpret_cast<HANDLE>(process), 137) != FALSE;
}

bool OsSelfExePath(char* buf, std::uint32_t size) {
    if (buf == nullptr || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    DWORD n = GetModuleFileNameA(nullptr, buf, size);
    // A name that fills the whole buffer was cut short (and may lack its zero).
    if (n == 0 || n >= size) {
        buf[0] = '\0';
        return false;
    }
    return true;
}
