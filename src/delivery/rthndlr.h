// The event handlers run by the driver library on the dispatch thread, and the
// event codes they post.
#pragma once
#include <cstdint>
#include "kqvxi/events.h"
#include "platform/callconv.h"

// The codes as clients see them (kqvxi/events.h is their one home).
inline constexpr std::uint32_t EVENT_CODE_BASE = KQVXI_EVENT_CODE_BASE;
inline constexpr std::uint32_t CODE_UNREGISTERED = KQVXI_CODE_UNREGISTERED;
inline constexpr std::uint32_t SOURCE_MARKER = KQVXI_SOURCE_MARKER;

void KQ_STDCALL HandleClass0(std::int16_t value);
void KQ_STDCALL HandleClass1();
void KQ_STDCALL HandleClass2();
void KQ_STDCALL HandleClass3(std::int16_t value);
void KQ_STDCALL HandleClass4(std::int16_t value);
void KQ_STDCALL HandleClass5(std::uint16_t value);
void KQ_STDCALL HandleLevel(std::int16_t index, std::uint16_t level, std::uint32_t value);
void KQ_STDCALL HandleChannel(std::int16_t index, std::uint16_t channel, std::uint16_t value);
void KQ_STDCALL HandleSourceEvent(std::uint16_t source);
void KQ_STDCALL HandleMarkedSourceEvent(std::uint16_t source);
