// The relay process of the two-hop peers: producer -> relay -> one queue per
// consumer, the way kqvxi's events go board queue -> dispatch thread -> client.
// The relay runs at the scheduling class and priority the server gives its
// dispatch thread (SCHED_FIFO at the highest priority); where the system refuses
// real-time priority to both, both run at the normal class, and the report says
// so.
#pragma once
#include <sys/types.h>

namespace e2e {

// Producer side. Starts "kq_e2e relay <peer> <fd> <arg>" and waits up to
// RELAY_START_MS for it to say it is set up. -1 (and nothing left running) on
// failure.
inline constexpr int RELAY_START_MS = 10000;
pid_t StartRelay(const char* peer, const char* arg);
// Asks the relay to end and waits up to RELAY_STOP_MS; then kills it.
inline constexpr int RELAY_STOP_MS = 5000;
void StopRelay(pid_t* relay);
// How the relays of this run were scheduled, for the report ("" before any).
const char* RelaySchedulingNote();

// Relay side, in this order: RelayEnterClass before anything that starts
// threads (they inherit the class), RelayReady once set up (or failed), then
// loop until RelayStopping.
void RelayEnterClass();
void RelayReady(int readyFd, bool ok);
// True once the producer asked the relay to end or went away.
bool RelayStopping();

}  // namespace e2e
