// Decoding of a ring record into the handle API's kqvxi_event: which argument
// carries which field for each class (the same rules as the tools' decoder).
#include "client/handle.h"

namespace {

// Source records carry the marker in the high half of arg1, the source in the low.
void DecodeSource(std::uint32_t arg1, kqvxi_event* event) {
    event->source = arg1 & 0xFFFFu;
    event->marked = (arg1 & 0xFFFF0000u) == KQVXI_SOURCE_MARKER ? 1u : 0u;
}

}  // namespace

void DecodeRecord(const kqvxi_record& record, kqvxi_event* event) {
    *event = kqvxi_event{};
    event->raw = record;
    if (record.code == KQVXI_CODE_UNREGISTERED) {
        event->cls = KQVXI_CLASS_UNREGISTERED;
        return;
    }
    const std::uint32_t cls = record.code - KQVXI_EVENT_CODE_BASE;
    if (cls >= KQVXI_CLASS_COUNT) {
        event->cls = KQVXI_CLASS_UNKNOWN;
        return;
    }
    event->cls = static_cast<std::int32_t>(cls);
    switch (cls) {
        case KQVXI_CLASS_0:
        case KQVXI_CLASS_3:
        case KQVXI_CLASS_4:
        case KQVXI_CLASS_5:
            // Widened by the server: signed for 0, 3 and 4, unsigned for 5.
            event->value = record.arg1;
            break;
        case KQVXI_CLASS_SOURCE:
            DecodeSource(record.arg1, event);
            break;
        case KQVXI_CLASS_LEVEL:
            event->index = static_cast<std::int32_t>(record.arg1);
            event->level = record.arg2;
            event->value = record.arg3;
            break;
        case KQVXI_CLASS_SOURCE_LEVEL:
            DecodeSource(record.arg1, event);
            event->index = static_cast<std::int32_t>(record.arg2);
            event->level = record.arg3;
            break;
        case KQVXI_CLASS_CHANNEL:
            event->index = static_cast<std::int32_t>(record.arg1);
            event->channel = record.arg2;
            event->value = record.arg3;
            break;
        default:  // classes 1 and 2 carry nothing
            break;
    }
}
