// The server's entry: the controller number from the command line, start-up,
// the request loop, shutdown and the exit status. Nothing here writes output;
// the returned exit code is the only report.
#include "server/entry.h"

#include "delivery/dispatch.h"
#include "driver/kqvxint.h"
#include "platform/event.h"
#include "platform/types.h"
#include "queue/client_table.h"
#include "queue/server_stats.h"
#include "queue/wake_relay.h"
#include "server/commands.h"

namespace {

constexpr const char* WAIT_OBJECT_NAME = "KQVXI Wait Object";

// How long shutdown lets the dispatch thread take to leave its cancelled wait
// before the controller is closed under it.
constexpr std::uint32_t DISPATCH_END_WAIT_MS = 5000;

// Present by name while the server runs, so that clients can tell a server is
// there; the server itself never signals it or waits on it.
OsHandle waitObject = OS_NO_HANDLE;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Shutdown step 4. The thread ends by itself once its cancelled wait returns;
// waiting for it keeps driver calls and handlers from running on after the
// controller is closed or after this function has returned.
void StopDispatch(std::uint16_t controller) {
    if (dispatchThread == OS_NO_HANDLE) {
        return;
    }
    StopDispatchThread(controller);
    OsWaitForObject(dispatchThread, DISPATCH_END_WAIT_MS);
    OsCloseHandle(dispatchThread);
    dispatchThread = OS_NO_HANDLE;
    dispatchThreadId = 0;
    StopWakeRelay();
}

// The request loop: one reply per request, except when the request channel fails
// or a command ends the loop without one. Returns the exit status as it stands.
std::int32_t RunRequestLoop(std::uint16_t controller, OsHandle serverWakeEvent,
                            std::int32_t exitStatus) {
    const auto channel = static_cast<std::int16_t>(controller);
    std::uint32_t pid = 0;  // kept from one request to the next until overwritten
    bool stop = false;
    while (!stop) {
        OsWaitForObject(serverWakeEvent, OS_INFINITE);
        std::uint32_t command = 0;
        std::uint32_t arg1 = 0;
        std::uint32_t arg2 = 0;
        std::uint32_t arg3 = 0;
        if (GetClientRequest(channel, &pid, &command, &arg1, &arg2, &arg3) < 0) {
            return EXIT_CHANNEL_FAILED;
        }

        CommandOutcome outcome{0, false, false};
        if (command == CMD_STOP) {
            stop = true;
        } else if (command == CMD_STOP_UNREGISTER || command <= CMD_SWEEP) {
            stop = command == CMD_STOP_UNREGISTER;
            outcome = RunClientCommand(pid, command, &arg1, &arg2, &arg3);
        }
        if (outcome.exitStatus != 0) {
            exitStatus = outcome.exitStatus;
        }
        if (outcome.noReply) {
            break;
        }
        stop = stop || outcome.stop;

        if (PutClientReply(channel, 0, command, &arg1, &arg2, &arg3) < 0) {
            exitStatus = EXIT_CHANNEL_FAILED;
        }
    }
    return exitStatus;
}

}  // namespace

std::uint16_t ParseControllerNumber(const char* text) {
    if (text == nullptr) {
        return 0;
    }
    while (IsBlank(*text)) {
        ++text;
    }
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    // Unsigned arithmetic gives the 32-bit wrap without overflow being undefined.
    std::uint32_t value = 0;
    while (*text >= '0' && *text <= '9') {
        value = value * 10u + static_cast<std::uint32_t>(*text - '0');
        ++text;
    }
    if (negative) {
        value = 0u - value;
    }
    return static_cast<std::uint16_t>(value & 0xFFFFu);
}

std::int32_t ServerMain(int argc, const char* const* argv) {
    std::uint16_t controller = 0;
    std::int32_t exitStatus = EXIT_STOPPED;
    if (argc >= 2 && argv != nullptr) {
        controller = ParseControllerNumber(argv[1]);
    }
    const auto channel = static_cast<std::int16_t>(controller);

    const std::int16_t opened = OpenController(channel);
    if (opened < 0) {
        return EXIT_STARTUP_FAILED;  // nothing is open yet, so nothing is released
    }
    const std::int32_t reducedSet = opened == 2 ? 1 : 0;

    OsHandle serverWakeEvent = OS_NO_HANDLE;
    if (StartDispatchThread(controller) < 0) {
        exitStatus = EXIT_STARTUP_FAILED;
    } else if (InstallHandlers(controller, reducedSet) < 0) {
        exitStatus = EXIT_STARTUP_FAILED;
    } else if ((serverWakeEvent = OsCreateEvent(SERVER_WAKE_EVENT_NAME, false, false)) ==
               OS_NO_HANDLE) {
        exitStatus = EXIT_STARTUP_FAILED;
    } else if ((waitObject = OsCreateEvent(WAIT_OBJECT_NAME, true, false)) == OS_NO_HANDLE) {
        exitStatus = EXIT_STARTUP_FAILED;
    } else {
        clientTable.clientCount = 0;
        // The statistics object, once the board made this process the
        // controller's server. Without it the server serves all the same.
        (void)OpenServerStats(controller);
        exitStatus = RunRequestLoop(controller, serverWakeEvent, exitStatus);
    }

    RetireServerStats();
    RemoveAllClients();
    CloseServerStats();
    CloseAndClear(&waitObject);
    CloseAndClear(&serverWakeEvent);
    StopDispatch(controller);
    if (CloseController(channel) < 0) {
        return EXIT_STARTUP_FAILED;
    }
    return exitStatus;
}
