// The end-to-end harness's common ground: the control block that the producer
// shares with its consumer processes, the peers (our server and the transports we
// compare it with) as tables of functions, clocks, process start and stop, and
// the order statistics the report prints.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <vector>

namespace e2e {

inline constexpr int MAX_CONSUMERS = 50;
inline constexpr int STAMP_SLOTS = 4096;      // stamps of the events in flight, by sequence
inline constexpr int MAX_SAMPLES = 2048;      // latency samples one consumer keeps
inline constexpr int RECORD_BYTES = 20;       // one record, the size of the server's ring entry
inline constexpr int QUEUE_RECORDS = 99;      // records one consumer's queue holds
inline constexpr int CONSUMER_WAIT_MS = 100;  // a consumer re-checks the stop flag this often
// A relay's input queue is as deep as the simulated board's event queue, the
// first of kqvxi's two hops.
inline constexpr int RELAY_INPUT_RECORDS = 64;

// One consumer's figures. Only that consumer writes them; the producer reads
// them, and resets them while every consumer is idle between trials.
struct alignas(64) ConsumerState {
    std::uint64_t received;                    // records taken (atomic add)
    std::uint32_t samples;                     // latency samples written (atomic)
    std::uint32_t ready;                       // 1 once set up, 2 when set-up failed
    std::uint32_t latencyNs[MAX_SAMPLES];      // stamp to record in hand
    std::uint32_t wakeLatencyNs[MAX_SAMPLES];  // stamp to return from the wait
};

// Shared by the producer and its consumers through an inherited memfd. The
// producer writes stop, measureLatency and the stamps; each consumer its state.
struct Control {
    std::uint32_t stop;            // consumers leave their loop and clean up
    std::uint32_t measureLatency;  // consumers note stamp-to-record time per record
    std::int64_t stampNs[STAMP_SLOTS];
    ConsumerState consumers[MAX_CONSUMERS];
};

// A transport under test. Producer-side functions run in the harness process;
// consume runs in a consumer process started with arg.
struct Peer {
    const char* name;
    // Prepares for count consumers before they start; fills arg for them.
    bool (*open)(int count, char* arg, int argSize);
    // One event with sequence seq to every consumer, as fast as the transport
    // allows without waiting for room; a refusal is a drop. Returns for how
    // many consumers the producer's side refused it at once.
    int (*post)(std::uint32_t seq);
    // After the consumers ended: removes everything open left behind.
    void (*close)();
    // The consumer's whole life: set up, mark ready, take records until stop.
    int (*consume)(int index, Control* control, const char* arg);
    // Two-hop peers only (null otherwise): the relay process's whole life, started
    // by open with its own arg; it says on readyFd when it is set up (relay.h).
    int (*relay)(int readyFd, const char* arg);
};

// Each peer's file registers it with one static PeerRegistrar; rank orders the
// columns of the report (our server first, then the others).
inline constexpr int MAX_PEERS = 12;
struct PeerRegistrar {
    PeerRegistrar(const Peer* peer, int rank);
};
int PeerCount();
const Peer* PeerAt(int index);

// Mean cost of one non-blocking mq_send of a record into a queue with room,
// nobody receiving, over rounds fillings of one queue.
double MqSendCostNs(int rounds);

// One-way wake latency of a futex through a chain of hops + 1 processes, each
// waiter asleep: the first wakes the second, which wakes the third, and so on;
// the last notes the time since the first stamped it. hops 1 is one wake-up,
// hops 2 two in series (kqvxi's path: board queue to dispatch thread to client).
// Fills p50 and p99 in microseconds. False when a partner could not start.
bool FutexWakeFloor(int hops, int rounds, double* p50Us, double* p99Us);

std::int64_t NowNs();
void SleepUs(std::int64_t us);

// What a consumer does with each record it takes: counts it, and in latency
// mode notes how long ago the producer stamped the event, and how long before
// the consumer returned from its wait (wokeNs; 0 when the wait returns the
// record itself).
void NoteRecords(Control* control, ConsumerState* self, const std::uint32_t* seqs, int count,
                 std::int64_t wokeNs = 0);

// Process start and end. Spawn inherits open descriptors (the control memfd).
pid_t Spawn(const char* path, const std::vector<const char*>& args);
// Every process Spawn started, for the check that nothing named after one of
// them is left behind.
int SpawnedCount();
pid_t SpawnedAt(int index);
// Waits up to timeoutMs; then kills. The exit code, or -1 when killed or failed.
int WaitExit(pid_t pid, int timeoutMs);
const char* SelfPath();
const char* ProgramDir();

// Percentile p (0..100) of values, sorted in place; 0 when empty.
double Percentile(std::vector<double>& values, double p);

}  // namespace e2e
