// POSIX message queues on the same job: one queue of 99 messages of 20 bytes
// per consumer, the producer sending to each without blocking (a full queue
// drops the newest message), each consumer asleep in its receive.
#include <fcntl.h>
#include <mqueue.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "harness.h"
#include "platform/atomic.h"
#include "transports.h"

namespace e2e {
namespace {

mqd_t queues[MAX_CONSUMERS];
int queueCount = 0;
char baseName[64];

void QueueName(char* out, std::size_t size, const char* base, int index) {
    MqQueueName(out, size, base, index);
}

mq_attr Attributes() {
    return MqAttributes(QUEUE_RECORDS);
}

void Close() {
    for (int i = 0; i < queueCount; ++i) {
        char name[96];
        QueueName(name, sizeof name, baseName, i);
        mq_close(queues[i]);
        mq_unlink(name);
    }
    queueCount = 0;
}

bool Open(int count, char* arg, int argSize) {
    std::snprintf(baseName, sizeof baseName, "/kqe2e.%d", static_cast<int>(getpid()));
    mq_attr attr = Attributes();
    for (int i = 0; i < count; ++i) {
        char name[96];
        QueueName(name, sizeof name, baseName, i);
        mq_unlink(name);
        mqd_t q = mq_open(name, O_CREAT | O_EXCL | O_WRONLY | O_NONBLOCK, 0600, &attr);
        if (q == static_cast<mqd_t>(-1)) {
            std::fprintf(stderr, "mq: cannot create %s with %d messages: %s%s\n", name,
                         QUEUE_RECORDS, std::strerror(errno),
                         errno == EMFILE ? " (the user's RLIMIT_MSGQUEUE is spent: at N = 50 the "
                                           "queues of posix-mq-relay hold most of it)"
                                         : "");
            Close();
            return false;
        }
        queues[queueCount++] = q;
    }
    std::snprintf(arg, static_cast<std::size_t>(argSize), "%s", baseName);
    return true;
}

int Post(std::uint32_t seq) {
    char message[RECORD_BYTES] = {};
    std::memcpy(message, &seq, sizeof seq);
    int refused = 0;
    for (int i = 0; i < queueCount; ++i) {
        refused += mq_send(queues[i], message, sizeof message, 0) != 0;  // EAGAIN: full
    }
    return refused;
}

int Consume(int index, Control* control, const char* arg) {
    return MqConsume(index, control, arg);
}

const Peer PEER = {"posix-mq", Open, Post, Close, Consume, nullptr};
const PeerRegistrar registrar(&PEER, 5);

}  // namespace

void MqQueueName(char* out, std::size_t size, const char* base, int index) {
    std::snprintf(out, size, "%s.%d", base, index);
}

mq_attr MqAttributes(int records) {
    mq_attr attr{};
    attr.mq_maxmsg = records;
    attr.mq_msgsize = RECORD_BYTES;
    return attr;
}

int MqConsume(int index, Control* control, const char* base) {
    ConsumerState* self = &control->consumers[index];
    char name[96];
    MqQueueName(name, sizeof name, base, index);
    mqd_t q = mq_open(name, O_RDONLY);
    if (q == static_cast<mqd_t>(-1)) {
        OsAtomicStore(&self->ready, 2u);
        return 3;
    }
    OsAtomicStore(&self->ready, 1u);
    char message[RECORD_BYTES];
    while (OsAtomicLoad(&control->stop) == 0) {
        timespec until{};
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += static_cast<long>(CONSUMER_WAIT_MS) * 1000000;
        until.tv_sec += until.tv_nsec / 1000000000;
        until.tv_nsec %= 1000000000;
        ssize_t n = mq_timedreceive(q, message, sizeof message, nullptr, &until);
        if (n == RECORD_BYTES) {
            std::uint32_t seq = 0;
            std::memcpy(&seq, message, sizeof seq);
            NoteRecords(control, self, &seq, 1);
        } else if (n < 0 && errno != ETIMEDOUT && errno != EINTR) {
            break;
        }
    }
    mq_close(q);
    return 0;
}

double MqSendCostNs(int rounds) {
    char name[96];
    std::snprintf(name, sizeof name, "/kqe2e.%d.cost", static_cast<int>(getpid()));
    mq_unlink(name);
    mq_attr attr = Attributes();
    mqd_t q = mq_open(name, O_CREAT | O_EXCL | O_RDWR | O_NONBLOCK, 0600, &attr);
    if (q == static_cast<mqd_t>(-1)) {
        return 0.0;
    }
    char message[RECORD_BYTES] = {};
    std::int64_t spent = 0;
    std::int64_t sends = 0;
    for (int r = 0; r < rounds; ++r) {
        const std::int64_t start = NowNs();
        for (int i = 0; i < QUEUE_RECORDS; ++i) {
            message[0] = static_cast<char>(i);
            mq_send(q, message, sizeof message, 0);
        }
        spent += NowNs() - start;
        sends += QUEUE_RECORDS;
        while (mq_receive(q, message, sizeof message, nullptr) == RECORD_BYTES) {
        }
    }
    mq_close(q);
    mq_unlink(name);
    return static_cast<double>(spent) / static_cast<double>(sends);
}

}  // namespace e2e
