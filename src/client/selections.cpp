// The selection calls of the handle API: argument checks, the check that the
// handle still holds its slot with the live server (a request from a process
// the server does not know would end that server), the request, and the
// handle's own record of what is selected, re-sent after a server restart.
#include "client/handle.h"
#include "platform/atomic.h"

namespace {

bool IsFlagClass(int cls) {
    return cls == 0 || (cls >= 2 && cls <= 6);
}

bool ValidLevels(std::uint32_t levels) {
    return levels >= 1 && levels <= KQVXI_ALL_LEVELS;
}

bool ValidChannel(std::uint32_t channel) {
    return channel <= 15 || channel == 50 || channel == 60;
}

// Sends one enable or disable of cls with index and bits when the slot is
// confirmed; then records it with apply. Holds `control` throughout.
template <typename Apply>
int SendSelection(kqvxi_client* client, std::uint32_t cls, std::uint32_t index, std::uint32_t bits,
                  int enable, Apply apply) {
    LockGate(client->control);
    int status = KQVXI_OK;
    if (OsAtomicLoad(&client->closed) != 0) {
        status = KQVXI_E_CLOSED;
    } else if (!SlotConfirmed(client)) {
        status = KQVXI_E_NOT_REGISTERED;
    } else {
        status = SendRequest(client, enable != 0 ? KQVXI_CMD_ENABLE : KQVXI_CMD_DISABLE,
                             KQVXI_EVENT_CODE(cls), index, bits);
        if (status == KQVXI_OK) {
            apply(&client->selections);
        }
    }
    UnlockGate(client->control);
    return status;
}

std::uint16_t Change(std::uint16_t entry, std::uint32_t bits, int enable) {
    return static_cast<std::uint16_t>(enable != 0 ? (entry | bits) : (entry & ~bits));
}

}  // namespace

void ReapplySelections(kqvxi_client* client) {
    const HandleSelections& s = client->selections;
    for (std::uint32_t cls = 0; cls < FLAG_CLASS_COUNT; ++cls) {
        if (cls != 1 && (s.flagClasses & (1u << cls)) != 0) {
            SendRequest(client, KQVXI_CMD_ENABLE, KQVXI_EVENT_CODE(cls), 0, 0);
        }
    }
    for (std::uint32_t i = 0; i < LEVEL_MASK_ENTRIES; ++i) {
        if (s.levelMask[i] != 0) {
            SendRequest(client, KQVXI_CMD_ENABLE, KQVXI_EVENT_CODE(CLASS_LEVEL), i, s.levelMask[i]);
        }
        if (s.sourceMask[i] != 0) {
            SendRequest(client, KQVXI_CMD_ENABLE, KQVXI_EVENT_CODE(CLASS_SOURCE_LEVEL), i,
                        s.sourceMask[i]);
        }
    }
    for (std::uint32_t i = 0; i < CHANNEL_MASK_ENTRIES; ++i) {
        for (std::uint32_t channel = 0; channel < 16; ++channel) {
            if ((s.channelMask[i] & (1u << channel)) != 0) {
                SendRequest(client, KQVXI_CMD_ENABLE, KQVXI_EVENT_CODE(CLASS_CHANNEL), i, channel);
            }
        }
    }
}

extern "C" KQVXI_API int kqvxi_select_class(kqvxi_client* client, int cls, int enable) {
    if (client == nullptr || (cls != 1 && !IsFlagClass(cls))) {
        return KQVXI_E_ARG;
    }
    if (cls == 1) {
        return OsAtomicLoad(&client->closed) != 0 ? KQVXI_E_CLOSED : KQVXI_OK;
    }
    const std::uint32_t bit = 1u << cls;
    return SendSelection(
        client, static_cast<std::uint32_t>(cls), 0, 0, enable, [bit, enable](HandleSelections* s) {
            s->flagClasses = enable != 0 ? (s->flagClasses | bit) : (s->flagClasses & ~bit);
        });
}

extern "C" KQVXI_API int kqvxi_select_levels(kqvxi_client* client, uint32_t index, uint32_t levels,
                                             int enable) {
    if (client == nullptr || index >= LEVEL_MASK_ENTRIES || !ValidLevels(levels)) {
        return KQVXI_E_ARG;
    }
    return SendSelection(client, CLASS_LEVEL, index, levels, enable,
                         [index, levels, enable](HandleSelections* s) {
                             s->levelMask[index] = Change(s->levelMask[index], levels, enable);
                         });
}

extern "C" KQVXI_API int kqvxi_select_source_levels(kqvxi_client* client, uint32_t index,
                                                    uint32_t levels, int enable) {
    if (client == nullptr || index >= SOURCE_MASK_ENTRIES || !ValidLevels(levels)) {
        return KQVXI_E_ARG;
    }
    return SendSelection(client, CLASS_SOURCE_LEVEL, index, levels, enable,
                         [index, levels, enable](HandleSelections* s) {
                             s->sourceMask[index] = Change(s->sourceMask[index], levels, enable);
                         });
}

extern "C" KQVXI_API int kqvxi_select_channel(kqvxi_client* client, uint32_t index,
                                              uint32_t channel, int enable) {
    if (client == nullptr || index >= CHANNEL_MASK_ENTRIES || !ValidChannel(channel)) {
        return KQVXI_E_ARG;
    }
    const std::uint32_t bit = ChannelBit(channel);
    return SendSelection(client, CLASS_CHANNEL, index, channel, enable,
                         [index, bit, enable](HandleSelections* s) {
                             s->channelMask[index] = Change(s->channelMask[index], bit, enable);
                         });
}
