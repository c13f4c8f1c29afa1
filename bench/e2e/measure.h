// The harness's measurements on one set of consumers of one peer: latency with
// the consumers asleep, a flood, and a search for the highest paced rate with at
// most 0.1 % loss. Each comes in steps, so that the peers can take turns and
// see the same machine load.
#pragma once
#include <signal.h>
#include <sys/types.h>

#include <cstdint>

#include "harness.h"

namespace e2e {

extern volatile sig_atomic_t aborted;
extern std::int64_t deadlineNs;
bool OutOfTime();
// Shortens every measurement (kq_e2e --quick): a check that everything runs,
// not figures to judge.
extern bool quick;

struct Figures {
    bool ran = false;
    double latP50Us = 0, latP99Us = 0, wakeP50Us = 0, postP50Us = 0, firstP50Us = 0;
    int latSamples = 0;
    double floodPerS = 0, floodDropPct = 0, floodSourceDropPct = 0, floodPostNs = 0;
    // The consumers' CPU time (every thread of theirs) per record they took,
    // during the flood and over the paced trials of the lossless searches.
    double floodCpuNs = 0, pacedCpuNs = 0;
    double lossless = 0, failLostPct = 0, failSourceShare = 0;
    double losslessFirst = 0, losslessSecond = 0, losslessThird = 0;  // each search's rate
    int trials = 0;
};

// One peer with count consumer processes and the control block they share.
struct Run {
    const Peer* peer;
    int count;
    int fd;
    Control* control;
    pid_t consumers[MAX_CONSUMERS];
    std::uint32_t nextSeq;
    bool opened;
    std::uint32_t postNs[MAX_SAMPLES];  // the producer's call per latency event
    int posts;
};

// Opens the peer and starts its consumers; false (and nothing left) on failure.
bool StartRun(Run* run, const Peer* peer, int count);
void EndRun(Run* run);

void LatencyWarmUp(Run& run);
// events more events, one at a time, each consumer asleep when it comes.
void LatencyRound(Run& run, int events);
void LatencyResult(Run& run, Figures* f);

void MeasureFlood(Run& run, Figures* f);

// The CPU time the consumers of run have used so far, in ns; -1 when the
// system does not say (no /proc/<pid>/task/<tid>/schedstat).
std::int64_t ConsumersCpuNs(const Run& run);
std::uint64_t Received(const Run& run);

// Doubling the paced rate while trials pass, then halving the gap between the
// last pass and the first failure. One rate per step (a failed trial is tried
// once more before the rate counts as failed).
struct Search {
    double lo = 0, hi = 0, rate = 2000;
    // The trial at the lowest failing rate: records lost, and how many of them
    // the producer's side refused (the rest were lost on the way or at a queue).
    double failLostPct = 0, failSourceShare = 0;
    bool failPaced = true;  // the producer kept that trial's pace
    int trials = 0, narrowing = 0;
    bool done = false;
};
void SearchStep(Run& run, Search* s);

}  // namespace e2e
