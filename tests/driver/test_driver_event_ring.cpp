// The simulated board's lock-free event queue on its own, on a controller slot in
// this process's memory: injectors in parallel keep their order and lose nothing
// but what they are told was refused, a position claimed and never filled holds
// the queue up only SIM_PUBLISH_WAIT_MS, cells of injectors that ended are freed,
// and events given back come out first again.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "driver/sim/sim_event_ring.h"
#include "platform/atomic.h"

// The queue asks whether an injector ended; here the pids from ENDED_PIDS up
// count as ended, the others as alive.
inline constexpr std::uint32_t ENDED_PIDS = 1000000;
bool SimProcessEnded(std::uint32_t pid) {
    return pid >= ENDED_PIDS;
}

namespace {

using Clock = std::chrono::steady_clock;

std::unique_ptr<SimController> NewSlot() {
    auto c = std::make_unique<SimController>();
    *c = SimController{};
    c->used = 1;
    return c;
}

SimEvent Event(std::uint32_t who, std::uint32_t seq) {
    SimEvent e{};
    e.kind = SIM_EV_LEVEL;
    e.a = who;
    e.b = seq;
    return e;
}

// Takes what is queued and dispatches it at once, as the server does.
std::uint32_t TakeAll(SimController* c, SimEvent* out, SimRingStall* stall, bool* waiting) {
    const std::uint32_t n = SimRingTake(c, out, SIM_EVENT_QUEUE_DEPTH, stall, waiting);
    OsAtomicFetchSub(&c->evTaken, n);
    return n;
}

TEST(DriverEventRing, InjectorsInParallelKeepTheirOrderAndLoseNothingAccepted) {
    auto c = NewSlot();
    constexpr std::uint32_t INJECTORS = 4;
    constexpr std::uint32_t EACH = 20000;
    std::atomic<std::uint32_t> full{0}, dropped{0};
    std::vector<std::thread> injectors;
    for (std::uint32_t who = 0; who < INJECTORS; ++who) {
        injectors.emplace_back([&, who] {
            for (std::uint32_t seq = 0; seq < EACH;) {
                switch (SimRingPush(c.get(), Event(who, seq), 100 + who)) {
                    case SimRingPushResult::Queued:
                        ++seq;
                        break;
                    case SimRingPushResult::Full:
                        ++full;
                        std::this_thread::yield();
                        break;
                    case SimRingPushResult::Dropped:
                        ++dropped;  // refused: tried again with the same number
                        break;
                }
            }
        });
    }
    std::uint32_t next[INJECTORS] = {};
    std::uint32_t received = 0, errors = 0;
    SimRingStall stall{};
    SimEvent out[SIM_EVENT_QUEUE_DEPTH];
    const Clock::time_point start = Clock::now();
    while (received < INJECTORS * EACH && Clock::now() - start < std::chrono::seconds(120)) {
        bool waiting = false;
        const std::uint32_t n = TakeAll(c.get(), out, &stall, &waiting);
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint32_t who = out[i].a;
            if (who >= INJECTORS || out[i].b != next[who]) {
                ++errors;
            } else {
                ++next[who];
            }
            ++received;
        }
        if (n == 0) {
            std::this_thread::yield();
        }
    }
    for (std::thread& t : injectors) {
        t.join();
    }
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(received, INJECTORS * EACH);
    EXPECT_EQ(c->evTail - c->evHead, 0u);
    EXPECT_EQ(c->evTaken, 0u);
    for (const SimEventCell& cell : c->cells) {
        EXPECT_EQ(cell.owner, 0u);
    }
    std::printf("[event ring] %u events from %u threads; %u refused full, %u given up\n", received,
                INJECTORS, full.load(), dropped.load());
}

TEST(DriverEventRing, APositionClaimedAndNeverFilledHoldsTheQueueUpOnlyForTheBound) {
    auto c = NewSlot();
    ASSERT_EQ(SimRingPush(c.get(), Event(0, 0), 100), SimRingPushResult::Queued);
    // An injector that claimed the next position and stopped before filling it.
    const std::uint32_t stuck = c->evTail;
    c->cells[SIM_EVENT_CELLS - 1].owner = 200;
    c->evTail = stuck + 1;
    ASSERT_EQ(SimRingPush(c.get(), Event(0, 1), 100), SimRingPushResult::Queued);

    SimRingStall stall{};
    SimEvent out[SIM_EVENT_QUEUE_DEPTH];
    bool waiting = false;
    ASSERT_EQ(TakeAll(c.get(), out, &stall, &waiting), 1u);
    EXPECT_EQ(out[0].b, 0u);
    EXPECT_TRUE(waiting);
    const Clock::time_point start = Clock::now();
    std::uint32_t n = 0;
    while ((n = TakeAll(c.get(), out, &stall, &waiting)) == 0 &&
           Clock::now() - start < std::chrono::seconds(10)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(out[0].b, 1u);  // the event behind the stuck position, not lost
    EXPECT_GE(ms + 5, static_cast<long long>(SIM_PUBLISH_WAIT_MS));
    std::printf("[event ring] a stuck position held the queue up %lld ms\n",
                static_cast<long long>(ms));
    // The stuck injector's late fill finds its position given up.
    std::uint32_t expected = SimRingEmpty(stuck);
    EXPECT_FALSE(OsAtomicCompareExchange(&c->ring[stuck % SIM_EVENT_QUEUE_DEPTH], &expected,
                                         SimRingFilled(stuck, SIM_EVENT_CELLS - 1)));
    // The queue goes on through that entry's next lap.
    for (std::uint32_t i = 0; i < 2 * SIM_EVENT_QUEUE_DEPTH; ++i) {
        ASSERT_EQ(SimRingPush(c.get(), Event(1, i), 100), SimRingPushResult::Queued) << i;
        ASSERT_EQ(TakeAll(c.get(), out, &stall, &waiting), 1u) << i;
        EXPECT_EQ(out[0].b, i);
    }
}

TEST(DriverEventRing, CellsOfEndedInjectorsAreFreedOnlyWhenNotQueued) {
    auto c = NewSlot();
    // Every cell held by an injector that lives: nothing more can be queued.
    for (SimEventCell& cell : c->cells) {
        cell.owner = 300;
    }
    EXPECT_EQ(SimRingPush(c.get(), Event(0, 0), 100), SimRingPushResult::Full);
    // Held by injectors that ended: freed and used, except one a filled entry
    // names, which the server frees once it has read it.
    for (SimEventCell& cell : c->cells) {
        cell.owner = ENDED_PIDS + 1;
    }
    c->cells[5].event = Event(9, 9);
    c->ring[0] = SimRingFilled(0, 5);
    c->evTail = 1;
    ASSERT_EQ(SimRingPush(c.get(), Event(0, 1), 100), SimRingPushResult::Queued);
    EXPECT_EQ(c->cells[5].owner, ENDED_PIDS + 1);
    SimRingStall stall{};
    SimEvent out[SIM_EVENT_QUEUE_DEPTH];
    bool waiting = false;
    ASSERT_EQ(TakeAll(c.get(), out, &stall, &waiting), 2u);
    EXPECT_EQ(out[0].a, 9u);
    EXPECT_EQ(out[1].b, 1u);
    EXPECT_EQ(c->cells[5].owner, 0u);
}

TEST(DriverEventRing, EventsGivenBackComeOutFirstAndStillCountAgainstTheDepth) {
    auto c = NewSlot();
    for (std::uint32_t i = 0; i < 5; ++i) {
        ASSERT_EQ(SimRingPush(c.get(), Event(0, i), 100), SimRingPushResult::Queued);
    }
    SimRingStall stall{};
    SimEvent taken[SIM_EVENT_QUEUE_DEPTH];
    bool waiting = false;
    ASSERT_EQ(SimRingTake(c.get(), taken, SIM_EVENT_QUEUE_DEPTH, &stall, &waiting), 5u);
    EXPECT_EQ(c->evTaken, 5u);
    // Taken events count: the queue takes only depth - 5 more.
    std::uint32_t accepted = 0;
    while (SimRingPush(c.get(), Event(1, accepted), 100) == SimRingPushResult::Queued) {
        ++accepted;
    }
    EXPECT_EQ(accepted, SIM_EVENT_QUEUE_DEPTH - 5);
    // Two were dispatched; three go back in front of what came since.
    OsAtomicFetchSub(&c->evTaken, 2u);
    EXPECT_EQ(SimRingGiveBack(c.get(), taken + 2, 3, 100), 3u);
    EXPECT_EQ(c->evTaken, 0u);
    SimEvent out[SIM_EVENT_QUEUE_DEPTH];
    ASSERT_EQ(TakeAll(c.get(), out, &stall, &waiting), SIM_EVENT_QUEUE_DEPTH - 2);
    for (std::uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(out[i].a, 0u);
        EXPECT_EQ(out[i].b, i + 2);
    }
    for (std::uint32_t i = 3; i < SIM_EVENT_QUEUE_DEPTH - 2; ++i) {
        EXPECT_EQ(out[i].a, 1u);
        EXPECT_EQ(out[i].b, i - 3);
    }
}

}  // namespace
