// Our side of the end-to-end harness: the real kqvxi-server on the simulated
// board, consumers that register with it and select level events at one index
// through the client library, and a producer that raises level events on the
// board whose 32-bit value is the event's sequence. The way from the producer
// to a client is the product's own: the board's event queue, the server's
// dispatch thread, the level handler's post into each client's ring and the
// client's wake event.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "harness.h"
#include "kqvxi/client.h"
#include "kqvxi/events.h"
#include "kqvxi/inject.h"

namespace e2e {
namespace {

constexpr std::int16_t LEVEL_INDEX = 3;
constexpr std::uint16_t LEVEL = 1;  // level 1 is bit 0 of the mask
constexpr std::uint32_t LEVEL_BITS = 0x0001;
constexpr std::uint32_t UNKNOWN_COMMAND = 99;  // answered unchanged: "serving"
constexpr std::uint32_t REQUEST_TIMEOUT_MS = 2000;
constexpr std::int64_t START_LIMIT_NS = 20'000'000'000;

std::uint16_t controller = 0;
pid_t server = -1;
int consumers = 0;

// Sends a request, retrying while no server answers yet, for a bounded time.
int Request(std::uint32_t command, std::uint32_t a1 = 0, std::uint32_t a2 = 0,
            std::uint32_t a3 = 0) {
    const std::int64_t end = NowNs() + START_LIMIT_NS;
    int status = KQVXI_E_TIMEOUT;
    while (NowNs() < end) {
        std::uint32_t b1 = a1, b2 = a2, b3 = a3;
        status = kqvxi_request(controller, command, &b1, &b2, &b3, REQUEST_TIMEOUT_MS);
        if (status != KQVXI_E_TIMEOUT) {
            break;
        }
    }
    return status;
}

bool Open(int count, char* arg, int argSize) {
    consumers = count;
    controller = static_cast<std::uint16_t>(30000 + (getpid() % 4000) * 8 + 5);
    char path[4200];
    std::snprintf(path, sizeof path, "%s/kqvxi-server", ProgramDir());
    char number[16];
    std::snprintf(number, sizeof number, "%u", controller);
    server = Spawn(path, {number});
    if (server < 0) {
        std::fprintf(stderr, "kq: cannot start %s\n", path);
        return false;
    }
    if (Request(UNKNOWN_COMMAND, 11, 22, 33) != KQVXI_OK) {
        std::fprintf(stderr, "kq: the server of controller %u does not answer\n", controller);
        WaitExit(server, 0);
        server = -1;
        return false;
    }
    std::snprintf(arg, static_cast<std::size_t>(argSize), "%u", controller);
    std::printf("e2e-controller: %u\n", controller);  // for the check for leftover names
    return true;
}

// A refusal here is the board's event queue being full: no client gets the event.
int Post(std::uint32_t seq) {
    return kqvxi_inject_level(controller, LEVEL_INDEX, LEVEL, seq) == KQVXI_INJECT_OK ? 0
                                                                                      : consumers;
}

void Close() {
    if (server < 0) {
        return;
    }
    std::uint32_t a1 = 0, a2 = 0, a3 = 0;
    kqvxi_request(controller, KQVXI_CMD_STOP, &a1, &a2, &a3, REQUEST_TIMEOUT_MS);
    if (WaitExit(server, 5000) < 0) {
        std::fprintf(stderr, "kq: the server did not stop on request; killed\n");
    }
    server = -1;
}

int Consume(int index, Control* control, const char* arg) {
    ConsumerState* self = &control->consumers[index];
    controller = static_cast<std::uint16_t>(std::strtoul(arg, nullptr, 10));
    kqvxi_queue* queue = kqvxi_queue_open();
    if (queue == nullptr || Request(KQVXI_CMD_REGISTER) != KQVXI_OK ||
        Request(KQVXI_CMD_ENABLE, KQVXI_EVENT_CODE(7), LEVEL_INDEX, LEVEL_BITS) != KQVXI_OK) {
        __atomic_store_n(&self->ready, 2u, __ATOMIC_RELEASE);
        if (queue != nullptr) {
            kqvxi_queue_close(queue);
        }
        return 3;
    }
    __atomic_store_n(&self->ready, 1u, __ATOMIC_RELEASE);
    kqvxi_record batch[QUEUE_RECORDS];
    std::uint32_t seqs[QUEUE_RECORDS];
    while (__atomic_load_n(&control->stop, __ATOMIC_ACQUIRE) == 0) {
        if (kqvxi_queue_wait(queue, CONSUMER_WAIT_MS) < 0) {
            break;
        }
        const std::int64_t woke = NowNs();
        for (int round = 0; round < 4; ++round) {
            const int n = kqvxi_queue_drain(queue, batch, QUEUE_RECORDS);
            int kept = 0;
            for (int i = 0; i < n; ++i) {
                if (batch[i].code == KQVXI_EVENT_CODE(7)) {
                    seqs[kept++] = batch[i].arg3;
                }
            }
            NoteRecords(control, self, seqs, kept, woke);
            if (n < QUEUE_RECORDS) {
                break;
            }
        }
    }
    const int status = Request(KQVXI_CMD_UNREGISTER) == KQVXI_OK ? 0 : 4;
    kqvxi_queue_close(queue);
    return status;
}

const Peer PEER = {"kqvxi", Open, Post, Close, Consume};
const PeerRegistrar registrar(&PEER, 0);

}  // namespace

}  // namespace e2e
