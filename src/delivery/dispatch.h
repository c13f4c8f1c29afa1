// The dispatch thread and the installation of the handlers in the driver library.
#pragma once
#include <cstdint>
#include "platform/types.h"

// Handle of the dispatch thread, or OS_NO_HANDLE; its id (read by nothing).
extern OsHandle dispatchThread;
extern std::uint32_t dispatchThreadId;

// 0, or -32768 when the thread cannot be created.
std::int16_t StartDispatchThread(std::uint16_t controller);
// Thread routine; ends its thread with 0 (cancelled) or 1 (wait failed).
std::uint32_t DispatchThreadMain(void* parameter);
// 0, or -1 when CancelDriverWait failed. Does not wait for the thread.
std::int16_t StopDispatchThread(std::uint16_t controller);
// 0 when every row that runs succeeds, else -1 at the first failure.
std::int16_t InstallHandlers(std::uint16_t controller, std::int32_t reducedSet);
