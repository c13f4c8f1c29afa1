// Boost.Interprocess message_queue on the same job: one queue of 99 messages of
// 20 bytes per consumer in shared memory, the producer's try_send dropping the
// newest message when a queue is full, each consumer asleep in a timed receive.
// Built only when the Boost headers are present.
#include <unistd.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/interprocess/ipc/message_queue.hpp>
#include <cstdio>
#include <cstring>
#include <new>

#include "harness.h"
#include "platform/atomic.h"

namespace e2e {
namespace {

namespace bip = boost::interprocess;

bip::message_queue* queues[MAX_CONSUMERS];
int queueCount = 0;
char baseName[64];

void QueueName(char* out, std::size_t size, const char* base, int index) {
    std::snprintf(out, size, "%s.%d", base, index);
}

void Close() {
    for (int i = 0; i < queueCount; ++i) {
        char name[96];
        QueueName(name, sizeof name, baseName, i);
        delete queues[i];
        queues[i] = nullptr;
        bip::message_queue::remove(name);
    }
    queueCount = 0;
}

bool Open(int count, char* arg, int argSize) {
    std::snprintf(baseName, sizeof baseName, "kqe2e.%d.bmq", static_cast<int>(getpid()));
    for (int i = 0; i < count; ++i) {
        char name[96];
        QueueName(name, sizeof name, baseName, i);
        bip::message_queue::remove(name);
        try {
            queues[queueCount] =
                new bip::message_queue(bip::create_only, name, QUEUE_RECORDS, RECORD_BYTES);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "boost-mq: cannot create %s: %s\n", name, e.what());
            Close();
            return false;
        }
        ++queueCount;
    }
    std::snprintf(arg, static_cast<std::size_t>(argSize), "%s", baseName);
    return true;
}

int Post(std::uint32_t seq) {
    char message[RECORD_BYTES] = {};
    std::memcpy(message, &seq, sizeof seq);
    int refused = 0;
    for (int i = 0; i < queueCount; ++i) {
        refused += queues[i]->try_send(message, sizeof message, 0) ? 0 : 1;
    }
    return refused;
}

int Consume(int index, Control* control, const char* arg) {
    ConsumerState* self = &control->consumers[index];
    char name[96];
    QueueName(name, sizeof name, arg, index);
    bip::message_queue* queue = nullptr;
    try {
        queue = new bip::message_queue(bip::open_only, name);
    } catch (const std::exception&) {
        OsAtomicStore(&self->ready, 2u);
        return 3;
    }
    OsAtomicStore(&self->ready, 1u);
    char message[RECORD_BYTES];
    while (OsAtomicLoad(&control->stop) == 0) {
        bip::message_queue::size_type got = 0;
        unsigned int priority = 0;
        const auto until = boost::posix_time::microsec_clock::universal_time() +
                           boost::posix_time::milliseconds(CONSUMER_WAIT_MS);
        if (queue->timed_receive(message, sizeof message, got, priority, until) &&
            got == RECORD_BYTES) {
            std::uint32_t seq = 0;
            std::memcpy(&seq, message, sizeof seq);
            NoteRecords(control, self, &seq, 1);
        }
    }
    delete queue;
    return 0;
}

const Peer PEER = {"boost-mq", Open, Post, Close, Consume, nullptr};
const PeerRegistrar registrar(&PEER, 7);

}  // namespace
}  // namespace e2e
