// kqvxi_client_descriptor: something an event loop can wait on. Where the
// system can wait on the wake event itself (Win32), that is its native handle.
// Elsewhere the wake event is a futex word no poll can watch, so a bridge
// thread waits on it and signals a poll descriptor for every wake-up; reads
// clear the descriptor before they drain and signal it again when records may
// remain. The bridge also passes each wake-up on to readerWake, which reads
// wait on while it runs (the wake event lets one waiter through per set), and
// signals the descriptor when the server ends or is replaced.
#include "client/handle.h"
#include "platform/atomic.h"
#include "platform/event.h"
#include "platform/poll_descriptor.h"
#include "platform/thread.h"

namespace {

// The bridge looks at its stop flag at least this often.
constexpr std::uint32_t BRIDGE_WAIT_STEP_MS = 100;
// A close waits this long for the bridge to end: one step and a margin.
constexpr std::uint32_t BRIDGE_STOP_LIMIT_MS = 5000;

// The bridge also watches the server: a server that ends or is replaced sets
// no event, so on each quiet step the bridge looks, and signals the descriptor
// once per change it sees; the read that follows answers KQVXI_E_SERVER_GONE
// or registers again.
std::uint32_t BridgeMain(void* parameter) {
    auto* client = static_cast<kqvxi_client*>(parameter);
    bool replacedSeen = false;
    while (OsAtomicLoad(&client->bridgeStop) == 0) {
        const std::uint32_t got = OsWaitForObject(client->wake, BRIDGE_WAIT_STEP_MS);
        if (got == OS_WAIT_OBJECT_0) {
            OsSignalPollDescriptor(client->descriptor);
            OsSetEvent(client->readerWake);
        } else if (got != OS_WAIT_TIMEOUT) {
            break;
        } else if (ServerReplaced(client) != replacedSeen) {
            replacedSeen = !replacedSeen;
            if (replacedSeen) {
                OsSignalPollDescriptor(client->descriptor);
                OsSetEvent(client->readerWake);
            }
        }
    }
    return 0;
}

}  // namespace

void ClearDescriptor(kqvxi_client* client) {
    OsClearPollDescriptor(client->descriptor);
}

void SignalDescriptor(kqvxi_client* client) {
    OsSignalPollDescriptor(client->descriptor);
}

void StopDescriptorBridge(kqvxi_client* client) {
    if (client->bridgeThread != OS_NO_HANDLE) {
        OsAtomicStore(&client->bridgeStop, std::int32_t{1});
        OsSetEvent(client->wake);
        OsWaitForObject(client->bridgeThread, BRIDGE_STOP_LIMIT_MS);
        OsCloseHandle(client->bridgeThread);
        client->bridgeThread = OS_NO_HANDLE;
    }
    OsAtomicStore(&client->bridgeRunning, std::int32_t{0});
    if (client->descriptor != OS_NO_DESCRIPTOR) {
        OsClosePollDescriptor(client->descriptor);
        client->descriptor = OS_NO_DESCRIPTOR;
    }
}

extern "C" KQVXI_API int kqvxi_client_descriptor(kqvxi_client* client, intptr_t* descriptor) {
    if (client == nullptr || descriptor == nullptr) {
        return KQVXI_E_ARG;
    }
    LockGate(client->control);
    int status = KQVXI_OK;
    if (OsAtomicLoad(&client->closed) != 0) {
        status = KQVXI_E_CLOSED;
    } else if (const std::intptr_t native = OsNativeEventHandle(client->wake);
               native != OS_NO_DESCRIPTOR) {
        *descriptor = native;
    } else if (client->descriptor != OS_NO_DESCRIPTOR) {
        *descriptor = client->descriptor;
    } else {
        client->descriptor = OsCreatePollDescriptor();
        if (client->descriptor == OS_NO_DESCRIPTOR) {
            status = KQVXI_E_SYSTEM;
        } else {
            OsAtomicStore(&client->bridgeStop, std::int32_t{0});
            client->bridgeThread = OsCreateThread(BridgeMain, client, nullptr);
            if (client->bridgeThread == OS_NO_HANDLE) {
                OsClosePollDescriptor(client->descriptor);
                client->descriptor = OS_NO_DESCRIPTOR;
                status = KQVXI_E_SYSTEM;
            } else {
                OsAtomicStore(&client->bridgeRunning, std::int32_t{1});
                // Records may be waiting already: the first poll finds out.
                OsSignalPollDescriptor(client->descriptor);
                *descriptor = client->descriptor;
            }
        }
    }
    UnlockGate(client->control);
    return status;
}
