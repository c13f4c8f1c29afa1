// The board's driver interface library: operations (with their export ordinals),
// handler types and calling convention. The server imports these by ordinal from
// "KQVXINT.dll" on Windows and links libkqvxint.so by name on Linux.
#pragma once
#include <cstdint>
#include "platform/callconv.h"

extern "C" {

// Handler shapes. Each argument occupies one 32-bit slot; of a 16-bit argument
// only the low 16 bits count.
typedef void(KQ_STDCALL* KqNoArgHandler)(void);
typedef void(KQ_STDCALL* KqSignedValueHandler)(std::int16_t value);
typedef void(KQ_STDCALL* KqUnsignedValueHandler)(std::uint16_t value);
typedef void(KQ_STDCALL* KqLevelHandler)(std::int16_t index, std::uint16_t level,
                                         std::uint32_t value);
typedef void(KQ_STDCALL* KqChannelHandler)(std::int16_t index, std::uint16_t channel,
                                           std::uint16_t value);
typedef void(KQ_STDCALL* KqSourceHandler)(std::uint16_t source);

// Ordinals of the exported operations (ORD_<name>), from the one list of them.
enum KqOrdinal : int {
#define KQ_DRIVER_OPERATION(name, ordinal, argBytes) ORD_##name = ordinal,
#include "driver/kqvxint_ops.inc"
#undef KQ_DRIVER_OPERATION
};

// The server wake event: the library signals it once per client request, and the
// server's request loop waits on it. Clients' wake events carry the same text as
// their suffix ("X" + pid in hex + this).
inline constexpr const char* SERVER_WAKE_EVENT_NAME = "KQ-VXI Intr Proc Event";

// Status of a cancelled WaitDriverEvent.
inline constexpr std::int16_t KQ_WAIT_CANCELLED = -8;

std::int16_t KQ_STDCALL OpenController(std::int16_t controller);
std::int16_t KQ_STDCALL CloseController(std::int16_t controller);
std::int16_t KQ_STDCALL WaitDriverEvent(std::int16_t controller, std::uint32_t* item,
                                        std::uint8_t notFirstCall);
std::int16_t KQ_STDCALL DispatchDriverEvent(std::uint32_t item);
std::int16_t KQ_STDCALL CancelDriverWait(std::int16_t controller);
std::int16_t KQ_STDCALL GetClientRequest(std::int16_t controller, std::uint32_t* pid,
                                         std::uint32_t* command, std::uint32_t* arg1,
                                         std::uint32_t* arg2, std::uint32_t* arg3);
std::int16_t KQ_STDCALL PutClientReply(std::int16_t controller, std::int16_t zero,
                                       std::uint32_t command, std::uint32_t* arg1,
                                       std::uint32_t* arg2, std::uint32_t* arg3);
std::int16_t KQ_STDCALL QueryEventSource(std::uint32_t* index, std::uint32_t* level,
                                         std::uint32_t* source, std::uint32_t* kind);
std::int16_t KQ_STDCALL InstallClass0Handler(KqSignedValueHandler handler);
std::int16_t KQ_STDCALL InstallClass1Handler(KqNoArgHandler handler);
std::int16_t KQ_STDCALL InstallClass2Handler(KqNoArgHandler handler);
std::int16_t KQ_STDCALL InstallClass3Handler(KqSignedValueHandler handler);
std::int16_t KQ_STDCALL InstallClass4Handler(KqSignedValueHandler handler);
std::int16_t KQ_STDCALL InstallLevelHandler(std::int16_t levelMask, KqLevelHandler handler);
std::int16_t KQ_STDCALL InstallChannelHandler(std::uint16_t channelMask, KqChannelHandler handler);
std::int16_t KQ_STDCALL InstallClass5Handler(KqUnsignedValueHandler handler);
std::int16_t KQ_STDCALL InstallSourceHandler(std::int16_t selector, KqSourceHandler handler);

}  // extern "C"
