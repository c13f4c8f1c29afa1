// Our side of the end-to-end harness: the real kqvxi-server on the simulated
// board, consumers that register with it and select level events at one index
// through the client library's low-level calls, and a producer that raises
// level events on the board whose 32-bit value is the event's sequence. The way
// from the producer to a client is the product's own: the board's event queue,
// the server's dispatch thread, the level handler's post into each client's
// ring and the client's wake event.
#include <cstdio>
#include <cstdlib>

#include "harness.h"
#include "platform/atomic.h"
#include "kq_server.h"
#include "kqvxi/client.h"
#include "kqvxi/events.h"

namespace e2e {
namespace {

KqServer server{0, -1, 0};

bool Open(int count, char* arg, int argSize) {
    if (!StartKqServer(&server, 5, count)) {
        return false;
    }
    std::snprintf(arg, static_cast<std::size_t>(argSize), "%u", server.controller);
    return true;
}

int Post(std::uint32_t seq) {
    return PostKqLevel(server, seq);
}

void Close() {
    StopKqServer(&server);
}

int Consume(int index, Control* control, const char* arg) {
    ConsumerState* self = &control->consumers[index];
    const auto controller = static_cast<std::uint16_t>(std::strtoul(arg, nullptr, 10));
    kqvxi_queue* queue = kqvxi_queue_open();
    if (queue == nullptr || KqRequest(controller, KQVXI_CMD_REGISTER) != KQVXI_OK ||
        KqRequest(controller, KQVXI_CMD_ENABLE, KQVXI_EVENT_CODE(KQ_LEVEL_CODE), KQ_LEVEL_INDEX,
                  KQ_LEVEL_BITS) != KQVXI_OK) {
        OsAtomicStore(&self->ready, 2u);
        if (queue != nullptr) {
            kqvxi_queue_close(queue);
        }
        return 3;
    }
    OsAtomicStore(&self->ready, 1u);
    kqvxi_record batch[QUEUE_RECORDS];
    std::uint32_t seqs[QUEUE_RECORDS];
    while (OsAtomicLoad(&control->stop) == 0) {
        if (kqvxi_queue_wait(queue, CONSUMER_WAIT_MS) < 0) {
            break;
        }
        const std::int64_t woke = NowNs();
        for (int round = 0; round < 4; ++round) {
            const int n = kqvxi_queue_drain(queue, batch, QUEUE_RECORDS);
            int kept = 0;
            for (int i = 0; i < n; ++i) {
                if (batch[i].code == KQVXI_EVENT_CODE(KQ_LEVEL_CODE)) {
                    seqs[kept++] = batch[i].arg3;
                }
            }
            NoteRecords(control, self, seqs, kept, woke);
            if (n < QUEUE_RECORDS) {
                break;
            }
        }
    }
    const int status = KqRequest(controller, KQVXI_CMD_UNREGISTER) == KQVXI_OK ? 0 : 4;
    kqvxi_queue_close(queue);
    return status;
}

const Peer PEER = {"kqvxi", Open, Post, Close, Consume, nullptr};
const PeerRegistrar registrar(&PEER, 0);

}  // namespace

}  // namespace e2e
