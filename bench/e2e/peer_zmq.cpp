// ZeroMQ on the same job: one PUB socket bound to an ipc:// endpoint, one SUB
// socket per consumer, high-water marks of 99 messages on both sides (a
// subscriber whose queue is full loses the newest messages), each consumer
// asleep in its receive. Built only when libzmq is present.
#include <unistd.h>
#include <zmq.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "harness.h"
#include "platform/atomic.h"
#include "transports.h"

namespace e2e {
namespace {

constexpr int HWM = QUEUE_RECORDS;

void* context = nullptr;
void* publisher = nullptr;
char endpoint[128];
char socketPath[112];

void Close() {
    if (publisher != nullptr) {
        int linger = 0;
        zmq_setsockopt(publisher, ZMQ_LINGER, &linger, sizeof linger);
        zmq_close(publisher);
        publisher = nullptr;
    }
    if (context != nullptr) {
        zmq_ctx_term(context);
        context = nullptr;
    }
    if (socketPath[0] != 0) {
        unlink(socketPath);
        socketPath[0] = 0;
    }
}

bool Open(int count, char* arg, int argSize) {
    (void)count;
    std::snprintf(socketPath, sizeof socketPath, "/tmp/kqe2e.%d.zmq", static_cast<int>(getpid()));
    std::snprintf(endpoint, sizeof endpoint, "ipc://%s", socketPath);
    context = zmq_ctx_new();
    publisher = context != nullptr ? zmq_socket(context, ZMQ_PUB) : nullptr;
    int hwm = HWM;
    if (publisher == nullptr || zmq_setsockopt(publisher, ZMQ_SNDHWM, &hwm, sizeof hwm) != 0 ||
        zmq_bind(publisher, endpoint) != 0) {
        std::fprintf(stderr, "zmq: cannot bind %s: %s\n", endpoint, zmq_strerror(errno));
        Close();
        return false;
    }
    std::snprintf(arg, static_cast<std::size_t>(argSize), "%s", endpoint);
    return true;
}

int Post(std::uint32_t seq) {
    char message[RECORD_BYTES] = {};
    std::memcpy(message, &seq, sizeof seq);
    // PUB never blocks: past a subscriber's high-water mark the message is
    // dropped for that subscriber without telling the sender.
    return zmq_send(publisher, message, sizeof message, ZMQ_DONTWAIT) == RECORD_BYTES ? 0 : 1;
}

int Consume(int index, Control* control, const char* arg) {
    return ZmqConsume(index, control, arg);
}

const Peer PEER = {"zeromq", Open, Post, Close, Consume, nullptr};
const PeerRegistrar registrar(&PEER, 6);

}  // namespace

int ZmqConsume(int index, Control* control, const char* endpoint) {
    ConsumerState* self = &control->consumers[index];
    void* ctx = zmq_ctx_new();
    void* sub = ctx != nullptr ? zmq_socket(ctx, ZMQ_SUB) : nullptr;
    int hwm = HWM, timeout = CONSUMER_WAIT_MS, linger = 0;
    if (sub == nullptr || zmq_setsockopt(sub, ZMQ_RCVHWM, &hwm, sizeof hwm) != 0 ||
        zmq_setsockopt(sub, ZMQ_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
        zmq_setsockopt(sub, ZMQ_LINGER, &linger, sizeof linger) != 0 ||
        zmq_setsockopt(sub, ZMQ_SUBSCRIBE, "", 0) != 0 || zmq_connect(sub, endpoint) != 0) {
        OsAtomicStore(&self->ready, 2u);
        if (sub != nullptr) {
            zmq_close(sub);
        }
        if (ctx != nullptr) {
            zmq_ctx_term(ctx);
        }
        return 3;
    }
    OsAtomicStore(&self->ready, 1u);
    char message[RECORD_BYTES];
    while (OsAtomicLoad(&control->stop) == 0) {
        const int n = zmq_recv(sub, message, sizeof message, 0);
        if (n == RECORD_BYTES) {
            std::uint32_t seq = 0;
            std::memcpy(&seq, message, sizeof seq);
            NoteRecords(control, self, &seq, 1);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            break;
        }
    }
    zmq_close(sub);
    zmq_ctx_term(ctx);
    return 0;
}

}  // namespace e2e
