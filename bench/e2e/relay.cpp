// Starting, stopping and scheduling the relay process of the two-hop peers.
#include "relay.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "harness.h"

namespace e2e {
namespace {

// What the relay writes on its ready pipe.
constexpr char READY_REALTIME = 'R';
constexpr char READY_NORMAL = 'N';
constexpr char READY_FAILED = 'F';

char schedulingNote[160];
volatile sig_atomic_t stopRequested = 0;
bool realTime = false;
pid_t parentPid = 0;

void OnStop(int) {
    stopRequested = 1;
}

}  // namespace

pid_t StartRelay(const char* peer, const char* arg) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return -1;
    }
    // Only the write end goes to the relay.
    fcntl(fds[1], F_SETFD, 0);
    char fdText[16];
    std::snprintf(fdText, sizeof fdText, "%d", fds[1]);
    const pid_t relay = Spawn(SelfPath(), {"relay", peer, fdText, arg});
    close(fds[1]);
    char said = READY_FAILED;
    if (relay > 0) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, RELAY_START_MS) != 1 || read(fds[0], &said, 1) != 1) {
            said = READY_FAILED;
        }
    }
    close(fds[0]);
    if (said == READY_FAILED) {
        std::fprintf(stderr, "%s: the relay did not start\n", peer);
        pid_t dead = relay;
        StopRelay(&dead);
        return -1;
    }
    std::snprintf(schedulingNote, sizeof schedulingNote, "%s",
                  said == READY_REALTIME
                      ? "SCHED_FIFO at the highest priority, as kqvxi's dispatch thread"
                      : "normal class: real-time priority refused here, to the server's "
                        "dispatch thread as well");
    return relay;
}

void StopRelay(pid_t* relay) {
    if (*relay <= 0) {
        return;
    }
    kill(*relay, SIGTERM);
    if (WaitExit(*relay, RELAY_STOP_MS) != 0) {
        std::fprintf(stderr, "relay %d ended badly\n", static_cast<int>(*relay));
    }
    *relay = -1;
}

const char* RelaySchedulingNote() {
    return schedulingNote;
}

void RelayEnterClass() {
    parentPid = getppid();
    struct sigaction action {};
    action.sa_handler = OnStop;  // no SA_RESTART: a blocked receive returns EINTR
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGINT, SIG_IGN);
    // The same request the server makes for its dispatch thread; threads the
    // relay's transport starts later inherit it.
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_FIFO);
    realTime = sched_setscheduler(0, SCHED_FIFO, &param) == 0;
}

void RelayReady(int readyFd, bool ok) {
    const char said = !ok ? READY_FAILED : realTime ? READY_REALTIME : READY_NORMAL;
    while (write(readyFd, &said, 1) < 0 && errno == EINTR) {
    }
    close(readyFd);
}

bool RelayStopping() {
    return stopRequested != 0 || getppid() != parentPid;
}

}  // namespace e2e
