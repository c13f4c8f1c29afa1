// POSIX mq in two hops, like kqvxi's path: the producer sends each event without
// blocking into one input queue as deep as the board's event queue (a full one
// refuses it for every consumer); a relay process, scheduled as kqvxi's dispatch
// thread, takes them one at a time and sends each to the consumers' queues of 99
// (a full queue drops the newest there), where the consumers of the one-hop
// peer take them.
#include <fcntl.h>
#include <mqueue.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "harness.h"
#include "relay.h"
#include "transports.h"

namespace e2e {
namespace {

constexpr const char* NAME = "posix-mq-relay";

mqd_t input = static_cast<mqd_t>(-1);
int consumerCount = 0;
char baseName[64];
char inputName[80];
pid_t relay = -1;

void Unlink(int queues) {
    for (int i = 0; i < queues; ++i) {
        char name[96];
        MqQueueName(name, sizeof name, baseName, i);
        mq_unlink(name);
    }
    mq_unlink(inputName);
}

void Close() {
    StopRelay(&relay);
    if (input != static_cast<mqd_t>(-1)) {
        mq_close(input);
        input = static_cast<mqd_t>(-1);
    }
    Unlink(consumerCount);
    consumerCount = 0;
}

bool Open(int count, char* arg, int argSize) {
    std::snprintf(baseName, sizeof baseName, "/kqe2e.%d.r", static_cast<int>(getpid()));
    std::snprintf(inputName, sizeof inputName, "%s.in", baseName);
    // The consumers' queues are made here and only opened by the relay and the
    // consumers, so that Close removes every one of them.
    mq_attr attr = MqAttributes(QUEUE_RECORDS);
    for (int i = 0; i < count; ++i) {
        char name[96];
        MqQueueName(name, sizeof name, baseName, i);
        mq_unlink(name);
        const mqd_t q = mq_open(name, O_CREAT | O_EXCL | O_WRONLY, 0600, &attr);
        if (q == static_cast<mqd_t>(-1)) {
            std::fprintf(stderr, "%s: cannot create %s: %s\n", NAME, name, std::strerror(errno));
            consumerCount = i;
            Close();
            return false;
        }
        mq_close(q);
        consumerCount = i + 1;
    }
    mq_attr inputAttr = MqAttributes(RELAY_INPUT_RECORDS);
    mq_unlink(inputName);
    input = mq_open(inputName, O_CREAT | O_EXCL | O_WRONLY | O_NONBLOCK, 0600, &inputAttr);
    if (input == static_cast<mqd_t>(-1)) {
        std::fprintf(stderr, "%s: cannot create %s: %s\n", NAME, inputName, std::strerror(errno));
        Close();
        return false;
    }
    char relayArg[96];
    std::snprintf(relayArg, sizeof relayArg, "%s,%d", baseName, count);
    relay = StartRelay(NAME, relayArg);
    if (relay < 0) {
        Close();
        return false;
    }
    std::snprintf(arg, static_cast<std::size_t>(argSize), "%s", baseName);
    return true;
}

int Post(std::uint32_t seq) {
    char message[RECORD_BYTES] = {};
    std::memcpy(message, &seq, sizeof seq);
    return mq_send(input, message, sizeof message, 0) == 0 ? 0 : consumerCount;  // EAGAIN: full
}

int Consume(int index, Control* control, const char* arg) {
    return MqConsume(index, control, arg);
}

// arg: "<base>,<consumers>".
int Relay(int readyFd, const char* arg) {
    RelayEnterClass();
    char base[64];
    std::snprintf(base, sizeof base, "%s", arg);
    char* comma = std::strchr(base, ',');
    const int count = comma != nullptr ? std::atoi(comma + 1) : 0;
    if (comma == nullptr || count <= 0 || count > MAX_CONSUMERS) {
        RelayReady(readyFd, false);
        return 2;
    }
    *comma = 0;
    char name[96];
    std::snprintf(name, sizeof name, "%s.in", base);
    const mqd_t in = mq_open(name, O_RDONLY);
    mqd_t out[MAX_CONSUMERS];
    int opened = 0;
    bool ok = in != static_cast<mqd_t>(-1);
    while (ok && opened < count) {
        MqQueueName(name, sizeof name, base, opened);
        out[opened] = mq_open(name, O_WRONLY | O_NONBLOCK);
        ok = out[opened] != static_cast<mqd_t>(-1);
        opened += ok ? 1 : 0;
    }
    RelayReady(readyFd, ok);
    char message[RECORD_BYTES];
    while (ok && !RelayStopping()) {
        timespec until{};
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += static_cast<long>(CONSUMER_WAIT_MS) * 1000000;
        until.tv_sec += until.tv_nsec / 1000000000;
        until.tv_nsec %= 1000000000;
        const ssize_t n = mq_timedreceive(in, message, sizeof message, nullptr, &until);
        if (n == RECORD_BYTES) {
            for (int i = 0; i < count; ++i) {
                mq_send(out[i], message, sizeof message, 0);  // EAGAIN: that consumer's is full
            }
        } else if (n < 0 && errno != ETIMEDOUT && errno != EINTR) {
            ok = false;
        }
    }
    for (int i = 0; i < opened; ++i) {
        mq_close(out[i]);
    }
    if (in != static_cast<mqd_t>(-1)) {
        mq_close(in);
    }
    return ok ? 0 : 3;
}

const Peer PEER = {NAME, Open, Post, Close, Consume, Relay};
const PeerRegistrar registrar(&PEER, 3);

}  // namespace
}  // namespace e2e
