// kqvxi through the client library's handle (kqvxi/kqvxi.h) with one of its
// two opt-in options on: kqvxi-coalesce checks the ring on a timer for a
// window after each wake-up instead of sleeping on the wake event
// (kq_e2e --coalesce-us), kqvxi-spin polls the ring for a while before it
// sleeps (--spin-us). The server, the producer's events and the path are those
// of the kqvxi peer; each of these peers has a server of its own.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "harness.h"
#include "platform/atomic.h"
#include "kq_server.h"
#include "kqvxi/kqvxi.h"

namespace e2e {
namespace {

// arg: "<controller>,<coalesce_us>,<spin_us>".
int ConsumeThroughHandle(int index, Control* control, const char* arg) {
    ConsumerState* self = &control->consumers[index];
    char* next = nullptr;
    const auto controller = static_cast<std::uint16_t>(std::strtoul(arg, &next, 10));
    kqvxi_options options;
    kqvxi_options_init(&options);
    options.coalesce_us = static_cast<std::uint32_t>(std::strtoul(next + 1, &next, 10));
    options.spin_us = static_cast<std::uint32_t>(std::strtoul(next + 1, &next, 10));
    kqvxi_client* client = nullptr;
    int opened = kqvxi_client_open(controller, &options, &client);
    if (opened == KQVXI_OK) {
        opened = kqvxi_select_levels(client, KQ_LEVEL_INDEX, KQVXI_LEVEL_BIT(KQ_LEVEL), 1);
    }
    if (opened != KQVXI_OK) {
        std::fprintf(stderr, "kq handle consumer %d: %s\n", index, kqvxi_strerror(opened));
        OsAtomicStore(&self->ready, 2u);
        kqvxi_client_free(client);
        return 3;
    }
    OsAtomicStore(&self->ready, 1u);
    kqvxi_event events[QUEUE_RECORDS];
    std::uint32_t seqs[QUEUE_RECORDS];
    int status = 0;
    while (status == 0 && OsAtomicLoad(&control->stop) == 0) {
        const int n = kqvxi_client_read(client, events, QUEUE_RECORDS, CONSUMER_WAIT_MS);
        if (n < 0 && n != KQVXI_E_TIMEOUT && n != KQVXI_E_INTERRUPTED) {
            std::fprintf(stderr, "kq handle consumer %d: %s\n", index, kqvxi_strerror(n));
            status = 4;
        }
        int kept = 0;
        for (int i = 0; i < n; ++i) {
            if (events[i].cls == KQVXI_CLASS_LEVEL) {
                seqs[kept++] = events[i].value;
            }
        }
        NoteRecords(control, self, seqs, kept);
    }
    kqvxi_client_free(client);
    return status;
}

// One peer per option, each with its own server on its own controller.
template <int SLOT, bool COALESCE>
struct HandlePeer {
    static inline KqServer server{0, -1, 0};

    static bool Open(int count, char* arg, int argSize) {
        if (!StartKqServer(&server, SLOT, count)) {
            return false;
        }
        std::snprintf(arg, static_cast<std::size_t>(argSize), "%u,%u,%u", server.controller,
                      COALESCE ? handleCoalesceUs : 0u, COALESCE ? 0u : handleSpinUs);
        return true;
    }
    static int Post(std::uint32_t seq) { return PostKqLevel(server, seq); }
    static void Close() { StopKqServer(&server); }
};

using Coalescing = HandlePeer<6, true>;
using Spinning = HandlePeer<7, false>;

const Peer COALESCE_PEER = {"kqvxi-coalesce",  Coalescing::Open,     Coalescing::Post,
                            Coalescing::Close, ConsumeThroughHandle, nullptr};
const Peer SPIN_PEER = {"kqvxi-spin",    Spinning::Open,       Spinning::Post,
                        Spinning::Close, ConsumeThroughHandle, nullptr};
const PeerRegistrar coalesceRegistrar(&COALESCE_PEER, 1);
const PeerRegistrar spinRegistrar(&SPIN_PEER, 2);

}  // namespace
}  // namespace e2e
