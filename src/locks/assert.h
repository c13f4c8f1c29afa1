// The assertion reporter: shows a failed condition in an Abort/Retry/Ignore box.
#pragma once
#include <cstdint>

// 0: Ignore (or the box failed); 1: Retry (debugger text written); Abort ends the
// process with exit status -1 through the normal exit path and does not return.
std::int32_t ReportAssertion(const char* condition, const char* file, std::uint32_t line);
