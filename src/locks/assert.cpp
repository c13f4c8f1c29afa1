// The assertion reporter: formats the failed condition, asks Abort/Retry/Ignore
// and acts on the answer.
#include "locks/assert.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/dialog.h"

namespace {

constexpr std::size_t BUFFER_BYTES = 512;
constexpr std::uint32_t BOX_STYLE = 0x1012;  // system-modal, error icon, Abort/Retry/Ignore
constexpr const char* CAPTION = "Assertion Failed";
constexpr const char* BOX_FORMAT =
    "Assertion failed: \"%.*s\"\n\nFile: %.*s\nLine: %u\n\nClick 'Retry' to cause a debugger "
    "interrupt,\n'Abort' to terminate your program,\nor 'Ignore' to continue execution";
constexpr const char* DEBUG_FORMAT = "Assertion failed \"%.*s\" in file: %.*s, line: %u\n\r";

// Each thread formats into its own buffer, so two threads that report at once
// cannot mix their texts.
thread_local char messageBuffer[BUFFER_BYTES];

// Formats format with condition, file and line into messageBuffer. When the whole
// text would not fit, the condition and the file name are shortened (the file
// name keeps at most half of the room) so that the fixed wording, the line
// number and the text's ending always survive.
void Format(const char* format, const char* condition, const char* file, std::uint32_t line) {
    std::size_t conditionLength = std::strlen(condition);
    std::size_t fileLength = std::strlen(file);
    int fixed = std::snprintf(nullptr, 0, format, 0, "", 0, "", line);
    std::size_t room = BUFFER_BYTES - 1 - static_cast<std::size_t>(fixed > 0 ? fixed : 0);
    std::size_t fileKeep = fileLength;
    std::size_t conditionKeep = conditionLength;
    if (conditionLength + fileLength > room) {
        fileKeep = fileLength < room / 2 ? fileLength : room / 2;
        conditionKeep = conditionLength < room - fileKeep ? conditionLength : room - fileKeep;
        fileKeep = fileLength < room - conditionKeep ? fileLength : room - conditionKeep;
    }
    std::snprintf(messageBuffer, sizeof messageBuffer, format, static_cast<int>(conditionKeep),
                  condition, static_cast<int>(fileKeep), file, line);
}

}  // namespace

std::int32_t ReportAssertion(const char* condition, const char* file, std::uint32_t line) {
    if (condition == nullptr) {
        condition = "(null)";
    }
    if (file == nullptr) {
        file = "(null)";
    }
    Format(BOX_FORMAT, condition, file, line);
    int answer = OsMessageBox(messageBuffer, CAPTION, BOX_STYLE);
    if (answer == OS_IDABORT) {
        std::exit(-1);
    }
    if (answer == OS_IDRETRY) {
        Format(DEBUG_FORMAT, condition, file, line);
        OsDebugOutput(messageBuffer);
        return 1;
    }
    return 0;
}
