// ZeroMQ in two hops, like kqvxi's path: the producer's PUB socket (high-water
// mark as deep as the board's event queue) feeds one SUB socket in a relay
// process scheduled as kqvxi's dispatch thread; the relay passes each message
// on through a PUB socket of its own to the consumers of the one-hop peer (a
// queue of 99 per consumer, the newest dropped when full). Built only when
// libzmq is present.
#include <unistd.h>
#include <zmq.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "harness.h"
#include "relay.h"
#include "transports.h"

namespace e2e {
namespace {

constexpr const char* NAME = "zeromq-relay";

void* context = nullptr;
void* publisher = nullptr;
char socketIn[112];   // the producer's endpoint, which the relay subscribes to
char socketOut[112];  // the relay's endpoint, which the consumers subscribe to
pid_t relay = -1;

void Close() {
    StopRelay(&relay);
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
    for (char* path : {socketIn, socketOut}) {
        if (path[0] != 0) {
            unlink(path);
            path[0] = 0;
        }
    }
}

bool Open(int count, char* arg, int argSize) {
    (void)count;
    std::snprintf(socketIn, sizeof socketIn, "/tmp/kqe2e.%d.zin", static_cast<int>(getpid()));
    std::snprintf(socketOut, sizeof socketOut, "/tmp/kqe2e.%d.zout", static_cast<int>(getpid()));
    char endpoint[128];
    std::snprintf(endpoint, sizeof endpoint, "ipc://%s", socketIn);
    context = zmq_ctx_new();
    publisher = context != nullptr ? zmq_socket(context, ZMQ_PUB) : nullptr;
    int hwm = RELAY_INPUT_RECORDS;
    if (publisher == nullptr || zmq_setsockopt(publisher, ZMQ_SNDHWM, &hwm, sizeof hwm) != 0 ||
        zmq_bind(publisher, endpoint) != 0) {
        std::fprintf(stderr, "%s: cannot bind %s: %s\n", NAME, endpoint, zmq_strerror(errno));
        Close();
        return false;
    }
    char relayArg[240];
    std::snprintf(relayArg, sizeof relayArg, "ipc://%s,ipc://%s", socketIn, socketOut);
    relay = StartRelay(NAME, relayArg);
    if (relay < 0) {
        Close();
        return false;
    }
    std::snprintf(arg, static_cast<std::size_t>(argSize), "ipc://%s", socketOut);
    return true;
}

int Post(std::uint32_t seq) {
    char message[RECORD_BYTES] = {};
    std::memcpy(message, &seq, sizeof seq);
    return zmq_send(publisher, message, sizeof message, ZMQ_DONTWAIT) == RECORD_BYTES ? 0 : 1;
}

int Consume(int index, Control* control, const char* arg) {
    return ZmqConsume(index, control, arg);
}

// arg: "<endpoint in>,<endpoint out>". The relay binds the second.
int Relay(int readyFd, const char* arg) {
    RelayEnterClass();
    char in[240];
    std::snprintf(in, sizeof in, "%s", arg);
    char* out = std::strchr(in, ',');
    if (out == nullptr) {
        RelayReady(readyFd, false);
        return 2;
    }
    *out++ = 0;
    void* ctx = zmq_ctx_new();
    void* sub = ctx != nullptr ? zmq_socket(ctx, ZMQ_SUB) : nullptr;
    void* pub = ctx != nullptr ? zmq_socket(ctx, ZMQ_PUB) : nullptr;
    int inHwm = RELAY_INPUT_RECORDS, outHwm = QUEUE_RECORDS, timeout = CONSUMER_WAIT_MS, linger = 0;
    const bool ok = sub != nullptr && pub != nullptr &&
                    zmq_setsockopt(sub, ZMQ_RCVHWM, &inHwm, sizeof inHwm) == 0 &&
                    zmq_setsockopt(sub, ZMQ_RCVTIMEO, &timeout, sizeof timeout) == 0 &&
                    zmq_setsockopt(sub, ZMQ_LINGER, &linger, sizeof linger) == 0 &&
                    zmq_setsockopt(sub, ZMQ_SUBSCRIBE, "", 0) == 0 &&
                    zmq_setsockopt(pub, ZMQ_SNDHWM, &outHwm, sizeof outHwm) == 0 &&
                    zmq_setsockopt(pub, ZMQ_LINGER, &linger, sizeof linger) == 0 &&
                    zmq_bind(pub, out) == 0 && zmq_connect(sub, in) == 0;
    RelayReady(readyFd, ok);
    char message[RECORD_BYTES];
    int status = ok ? 0 : 3;
    while (status == 0 && !RelayStopping()) {
        const int n = zmq_recv(sub, message, sizeof message, 0);
        if (n == RECORD_BYTES) {
            zmq_send(pub, message, sizeof message, ZMQ_DONTWAIT);  // past a HWM: dropped
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            status = 3;
        }
    }
    for (void* s : {sub, pub}) {
        if (s != nullptr) {
            zmq_close(s);
        }
    }
    if (ctx != nullptr) {
        zmq_ctx_term(ctx);
    }
    return status;
}

const Peer PEER = {NAME, Open, Post, Close, Consume, Relay};
const PeerRegistrar registrar(&PEER, 4);

}  // namespace
}  // namespace e2e
