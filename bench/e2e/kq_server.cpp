// Starting, feeding and stopping the kqvxi server of a kqvxi peer.
#include "kq_server.h"

#include <unistd.h>

#include <cstdio>

#include "harness.h"
#include "kqvxi/client.h"
#include "kqvxi/inject.h"

namespace e2e {

std::uint32_t handleCoalesceUs = 1000;
std::uint32_t handleSpinUs = 50;

namespace {

constexpr std::uint32_t UNKNOWN_COMMAND = 99;  // answered unchanged: "serving"
constexpr std::uint32_t REQUEST_TIMEOUT_MS = 2000;
constexpr std::int64_t START_LIMIT_NS = 20'000'000'000;
constexpr int STOP_WAIT_MS = 5000;

}  // namespace

int KqRequest(std::uint16_t controller, std::uint32_t command, std::uint32_t a1, std::uint32_t a2,
              std::uint32_t a3) {
    const std::int64_t end = NowNs() + START_LIMIT_NS;
    int status = KQVXI_E_TIMEOUT;
    while (NowNs() < end) {
        std::uint32_t b1 = a1, b2 = a2, b3 = a3;
        status = kqvxi_request(controller, command, &b1, &b2, &b3, REQUEST_TIMEOUT_MS);
        if (status != KQVXI_E_TIMEOUT) {
            break;
        }
    }
    return status;
}

bool StartKqServer(KqServer* server, int slot, int count) {
    server->consumers = count;
    server->controller = static_cast<std::uint16_t>(30000 + (getpid() % 4000) * 8 + slot);
    char path[4200];
    std::snprintf(path, sizeof path, "%s/kqvxi-server", ProgramDir());
    char number[16];
    std::snprintf(number, sizeof number, "%u", server->controller);
    server->pid = Spawn(path, {number});
    if (server->pid < 0) {
        std::fprintf(stderr, "kq: cannot start %s\n", path);
        return false;
    }
    if (KqRequest(server->controller, UNKNOWN_COMMAND, 11, 22, 33) != KQVXI_OK) {
        std::fprintf(stderr, "kq: the server of controller %u does not answer\n",
                     server->controller);
        WaitExit(server->pid, 0);
        server->pid = -1;
        return false;
    }
    std::printf("e2e-controller: %u\n", server->controller);  // for the check for leftover names
    return true;
}

// A refusal here is the board's event queue being full: no client gets the event.
int PostKqLevel(const KqServer& server, std::uint32_t seq) {
    return kqvxi_inject_level(server.controller, KQ_LEVEL_INDEX, KQ_LEVEL, seq) == KQVXI_INJECT_OK
               ? 0
               : server.consumers;
}

void StopKqServer(KqServer* server) {
    if (server->pid < 0) {
        return;
    }
    std::uint32_t a1 = 0, a2 = 0, a3 = 0;
    kqvxi_request(server->controller, KQVXI_CMD_STOP, &a1, &a2, &a3, REQUEST_TIMEOUT_MS);
    if (WaitExit(server->pid, STOP_WAIT_MS) < 0) {
        std::fprintf(stderr, "kq: the server did not stop on request; killed\n");
    }
    server->pid = -1;
}

}  // namespace e2e
