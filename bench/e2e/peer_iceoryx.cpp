// iceoryx (shared-memory publish/subscribe through its RouDi daemon) on the same
// job: one publisher in the producer, one subscriber per consumer with a queue of
// 99 samples of 20 bytes and no history, each consumer asleep in a WaitSet.
// iceoryx offers no "drop the newest" policy: a full subscriber queue here
// discards its OLDEST sample (the non-blocking policy; the other one would block
// the producer). A failed loan counts as refused for every consumer. Owns the
// RouDi this harness starts when none runs. Built only when iceoryx is present.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "harness.h"
#include "platform/atomic.h"
#include "iceoryx_hoofs/log/logmanager.hpp"
#include "iceoryx_posh/popo/publisher.hpp"
#include "iceoryx_posh/popo/subscriber.hpp"
#include "iceoryx_posh/popo/wait_set.hpp"
#include "iceoryx_posh/runtime/posh_runtime.hpp"

namespace e2e {
namespace {

// One record: the sequence number first, like every other peer's message.
struct Record {
    std::uint32_t seq;
    std::uint8_t rest[RECORD_BYTES - sizeof(std::uint32_t)];
};
static_assert(sizeof(Record) == RECORD_BYTES, "a record is one ring entry's size");

// Where RouDi listens for runtimes, and its other named objects (removed only
// when a RouDi this harness started had to be killed).
constexpr const char* ROUDI_SOCKET = "/tmp/roudi";
constexpr const char* ROUDI_LOCK = "/tmp/iox-unique-roudi.lock";
constexpr int ROUDI_START_MS = 10000;
constexpr int ROUDI_STOP_MS = 5000;
constexpr int SUBSCRIBE_MS = 10000;
constexpr int DRAIN_ROUNDS = 8;  // batches taken per wake-up before waiting again

using RecordPublisher = iox::popo::Publisher<Record>;
using RecordSubscriber = iox::popo::Subscriber<Record>;

RecordPublisher* publisher = nullptr;  // heap: must go before the runtime does
int consumerCount = 0;
int openCount = 0;
bool runtimeUp = false;
pid_t roudiPid = -1;  // the RouDi this process started, if any

// True when a RouDi is bound to its socket: a datagram connect to a path
// nobody is bound to is refused.
bool RoudiListening() {
    const int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return false;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", ROUDI_SOCKET);
    const bool up = connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(s);
    return up;
}

bool FindRoudi(char* out, std::size_t size) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "";
    dirs += ":/usr/bin";
    std::size_t from = 0;
    for (int guard = 0; guard < 256 && from <= dirs.size(); ++guard) {
        std::size_t to = dirs.find(':', from);
        if (to == std::string::npos) {
            to = dirs.size();
        }
        const std::string dir = dirs.substr(from, to - from);
        if (!dir.empty()) {
            std::snprintf(out, size, "%s/iox-roudi", dir.c_str());
            if (access(out, X_OK) == 0) {
                return true;
            }
        }
        from = to + 1;
    }
    return false;
}

// Stops the RouDi this process started: asks with SIGTERM, kills after a
// bound; a killed RouDi cannot remove its names, so they go here.
void StopRoudi() {
    if (roudiPid <= 0) {
        return;
    }
    kill(roudiPid, SIGTERM);
    const int status = WaitExit(roudiPid, ROUDI_STOP_MS);
    roudiPid = -1;
    if (status != 0) {
        std::fprintf(stderr, "iceoryx: RouDi did not stop cleanly (%d); removing its names\n",
                     status);
        unlink(ROUDI_SOCKET);
        unlink(ROUDI_LOCK);
        shm_unlink("/iceoryx_mgmt");
        const passwd* user = getpwuid(geteuid());  // the data segment bears the user's name
        if (user != nullptr) {
            char data[128];
            std::snprintf(data, sizeof data, "/%s", user->pw_name);
            shm_unlink(data);
        }
    }
}

// Runs after the runtime's own teardown (registered before the runtime
// exists), so RouDi sees this process unregister before it is told to stop and
// has nobody left to signal.
void StopRoudiAtExit() {
    StopRoudi();
}

// A RouDi to register with: the one running, or one started here. The
// producer's runtime stays registered with it for the rest of the process (one
// runtime per process), so a RouDi started here stops when the process ends.
bool EnsureRoudi() {
    if (roudiPid > 0) {
        int status = 0;
        if (waitpid(roudiPid, &status, WNOHANG) == roudiPid) {
            roudiPid = -1;
            std::fprintf(stderr, "iceoryx: the RouDi this run started has ended\n");
            return false;
        }
        return true;
    }
    if (RoudiListening()) {
        return true;
    }
    if (runtimeUp) {
        std::fprintf(stderr, "iceoryx: the RouDi this run registered with is gone\n");
        return false;
    }
    char path[512];
    if (!FindRoudi(path, sizeof path)) {
        std::fprintf(stderr, "iceoryx: no RouDi runs and iox-roudi is not installed\n");
        return false;
    }
    static bool atExitSet = false;
    if (!atExitSet) {
        std::atexit(StopRoudiAtExit);
        atExitSet = true;
    }
    // RouDi reports to its standard output and error even when quiet; it
    // starts with both on /dev/null so that the harness's report stays clean.
    std::fflush(stdout);
    std::fflush(stderr);
    const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const int savedOut = dup(STDOUT_FILENO), savedErr = dup(STDERR_FILENO);
    if (quiet >= 0 && savedOut >= 0 && savedErr >= 0) {
        dup2(quiet, STDOUT_FILENO);
        dup2(quiet, STDERR_FILENO);
    }
    roudiPid = Spawn(path, {"--log-level", "error"});
    if (savedOut >= 0) {
        dup2(savedOut, STDOUT_FILENO);
        close(savedOut);
    }
    if (savedErr >= 0) {
        dup2(savedErr, STDERR_FILENO);
        close(savedErr);
    }
    if (quiet >= 0) {
        close(quiet);
    }
    if (roudiPid <= 0) {
        roudiPid = -1;
        std::fprintf(stderr, "iceoryx: cannot start %s\n", path);
        return false;
    }
    const std::int64_t end = NowNs() + static_cast<std::int64_t>(ROUDI_START_MS) * 1000000;
    while (NowNs() < end) {
        int status = 0;
        if (waitpid(roudiPid, &status, WNOHANG) == roudiPid) {
            roudiPid = -1;
            std::fprintf(stderr, "iceoryx: %s ended at start (run it by hand to see why)\n", path);
            return false;
        }
        if (RoudiListening()) {
            return true;
        }
        SleepUs(10000);
    }
    std::fprintf(stderr, "iceoryx: %s did not listen within %d ms (run it by hand to see why)\n",
                 path, ROUDI_START_MS);
    StopRoudi();
    return false;
}

void StartRuntime(const char* role) {
    if (runtimeUp) {
        return;
    }
    iox::log::LogManager::GetLogManager().SetDefaultLogLevel(
        iox::log::LogLevel::kError, iox::log::LogLevelOutput::kHideLogLevel);
    char name[64];
    std::snprintf(name, sizeof name, "kqe2e-%s-%d", role, static_cast<int>(getpid()));
    iox::runtime::PoshRuntime::initRuntime(iox::RuntimeName_t(iox::cxx::TruncateToCapacity, name));
    runtimeUp = true;
}

iox::capro::ServiceDescription Service(const char* instance) {
    return {iox::capro::IdString_t(iox::cxx::TruncateToCapacity, "kqe2e"),
            iox::capro::IdString_t(iox::cxx::TruncateToCapacity, instance),
            iox::capro::IdString_t(iox::cxx::TruncateToCapacity, "records")};
}

void Close() {
    delete publisher;
    publisher = nullptr;
    consumerCount = 0;
}

bool Open(int count, char* arg, int argSize) {
    if (!EnsureRoudi()) {
        return false;
    }
    StartRuntime("producer");
    // A new service per run: no subscriber of an earlier run can reach it.
    char instance[48];
    std::snprintf(instance, sizeof instance, "p%d.%d", static_cast<int>(getpid()), ++openCount);
    iox::popo::PublisherOptions options;
    options.historyCapacity = 0;
    options.subscriberTooSlowPolicy = iox::popo::ConsumerTooSlowPolicy::DISCARD_OLDEST_DATA;
    publisher = new RecordPublisher(Service(instance), options);
    consumerCount = count;
    std::snprintf(arg, static_cast<std::size_t>(argSize), "%s", instance);
    return true;
}

int Post(std::uint32_t seq) {
    auto loaned = publisher->loan();
    if (loaned.has_error()) {
        return consumerCount;  // no chunk: nobody gets this event
    }
    auto& sample = loaned.value();
    sample->seq = seq;
    std::memset(sample->rest, 0, sizeof sample->rest);
    sample.publish();
    return 0;
}

int Consume(int index, Control* control, const char* arg) {
    ConsumerState* self = &control->consumers[index];
    if (!RoudiListening()) {
        OsAtomicStore(&self->ready, 2u);
        return 3;
    }
    StartRuntime("consumer");
    iox::popo::SubscriberOptions options;
    options.queueCapacity = QUEUE_RECORDS;
    options.historyRequest = 0;
    options.queueFullPolicy = iox::popo::QueueFullPolicy::DISCARD_OLDEST_DATA;
    auto subscriber = std::make_unique<RecordSubscriber>(Service(arg), options);
    auto waitset = std::make_unique<iox::popo::WaitSet<>>();
    if (waitset->attachState(*subscriber, iox::popo::SubscriberState::HAS_DATA).has_error()) {
        OsAtomicStore(&self->ready, 2u);
        return 3;
    }
    // Ready only once the publisher has taken the subscription, so the first
    // events already reach this consumer.
    const std::int64_t end = NowNs() + static_cast<std::int64_t>(SUBSCRIBE_MS) * 1000000;
    while (subscriber->getSubscriptionState() != iox::SubscribeState::SUBSCRIBED && NowNs() < end &&
           OsAtomicLoad(&control->stop) == 0) {
        SleepUs(1000);
    }
    if (subscriber->getSubscriptionState() != iox::SubscribeState::SUBSCRIBED) {
        OsAtomicStore(&self->ready, 2u);
        return 3;
    }
    OsAtomicStore(&self->ready, 1u);
    std::uint32_t seqs[QUEUE_RECORDS];
    while (OsAtomicLoad(&control->stop) == 0) {
        waitset->timedWait(iox::units::Duration::fromMilliseconds(CONSUMER_WAIT_MS));
        const std::int64_t woke = NowNs();
        for (int round = 0; round < DRAIN_ROUNDS; ++round) {
            int n = 0;
            while (n < QUEUE_RECORDS) {
                auto taken = subscriber->take();
                if (taken.has_error()) {
                    break;
                }
                seqs[n++] = taken.value()->seq;
            }
            NoteRecords(control, self, seqs, n, woke);
            if (n < QUEUE_RECORDS) {
                break;
            }
        }
    }
    waitset->detachState(*subscriber, iox::popo::SubscriberState::HAS_DATA);
    waitset.reset();
    subscriber.reset();
    return 0;
}

const Peer PEER = {"iceoryx", Open, Post, Close, Consume, nullptr};
const PeerRegistrar registrar(&PEER, 8);

}  // namespace
}  // namespace e2e
