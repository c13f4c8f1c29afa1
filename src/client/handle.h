// The record behind a kqvxi_client handle, and what the files of the handle API
// (handle.cpp, registration_steps.cpp, selections.cpp, event_read.cpp,
// wake_descriptor.cpp) offer each other.
//
// Locks of one handle, each an unnamed auto-reset event used as a mutex:
// - control serialises the calls that change the registration or the
//   selections (open's steps, selections, re-registration, close). A read
//   holds it only while it re-registers, never while it waits.
// - viewGate guards `view` and the registration's identity (instance, slot,
//   registration, serverPid) against a re-registration or a close that swaps
//   or closes the view; stats takes it alone, so it never waits for a read.
// Flags read by every thread (closed, interruptPending, serverGone, readers,
// received, serverRestarts, bridgeStop, bridgeRunning) go through
// platform/atomic.h.
#pragma once
#include <cstdint>

#include "client/stats_view.h"
#include "kqvxi/kqvxi.h"
#include "queue/block.h"

// What this handle selected, as the server applies it: re-sent to a new
// server after a restart. Written under `control`.
struct HandleSelections {
    std::uint32_t flagClasses;  // bit c: flag class c selected
    std::uint16_t levelMask[LEVEL_MASK_ENTRIES];
    std::uint16_t sourceMask[SOURCE_MASK_ENTRIES];
    std::uint16_t channelMask[CHANNEL_MASK_ENTRIES];  // ChannelBit positions
};

struct kqvxi_client {
    std::uint16_t controller;
    std::uint32_t flags;      // KQVXI_OPEN_*
    std::uint32_t timeoutMs;  // per request, never 0
    std::uint32_t coalesceUs;
    std::uint32_t spinUs;
    std::uint32_t pid;  // this process

    OsHandle control;
    OsHandle viewGate;
    kqvxi_queue* queue;
    OsHandle wake;        // the queue's wake event (the server sets it per record)
    OsHandle readerWake;  // what readers wait on while the bridge runs

    // The registration: the server's statistics object and who we are in it.
    // Under viewGate; `registered` is 1 while they describe a slot we hold.
    StatsView view;
    std::uint32_t instance;
    std::uint32_t slot;
    std::uint32_t registration;
    std::uint32_t serverPid;
    std::int32_t registered;

    std::int32_t closed;
    std::int32_t interruptPending;
    std::int32_t serverGone;  // the server ended; the ring is being drained
    std::int32_t readers;     // reads inside the handle (close waits for them)
    std::int32_t recentWake;  // coalescing: the last read found records
    std::uint64_t received;
    std::uint32_t serverRestarts;

    HandleSelections selections;

    // The descriptor bridge (POSIX): a poll descriptor a thread signals for
    // every wake-up. OS_NO_DESCRIPTOR (-1) until the first descriptor call.
    std::intptr_t descriptor;
    OsHandle bridgeThread;
    std::int32_t bridgeStop;
    std::int32_t bridgeRunning;
};

// Lock helpers over the unnamed auto-reset events above.
void LockGate(OsHandle gate);
void UnlockGate(OsHandle gate);

// Whether the handle's slot with the server it registered with still holds
// this process's registration: the server publishing in the view is that same
// instance, and the slot shows our pid and registration serial.
bool SlotConfirmed(kqvxi_client* client);

// One request with the handle's timeout: KQVXI_OK or the channel's status.
int SendRequest(const kqvxi_client* client, std::uint32_t command, std::uint32_t arg1,
                std::uint32_t arg2, std::uint32_t arg3, std::uint32_t* replyArg1 = nullptr);

// Registers this process with the controller's server (sweep, count check,
// register, slot found in the statistics object) under the machine-wide
// registration lock; the queue must be open. Fills the registration fields.
// KQVXI_OK, KQVXI_E_NO_SERVER, KQVXI_E_FULL, KQVXI_E_TIMEOUT (the
// registration lock was held by another process past the bound) or
// KQVXI_E_SYSTEM. Caller holds `control`.
int RegisterWithServer(kqvxi_client* client);

// True when the server the handle registered with has ended or been replaced.
bool ServerReplaced(kqvxi_client* client);

// After ServerReplaced: registers with a new server when one runs, and sends
// every remembered selection again. KQVXI_OK when re-registered now;
// REREGISTERED_BEFORE when another thread did so meanwhile; KQVXI_E_NO_SERVER
// while no new server runs yet (or it did not answer); KQVXI_E_FULL;
// KQVXI_E_CLOSED. Takes `control`.
inline constexpr int REREGISTERED_BEFORE = 1;
int Reregister(kqvxi_client* client);

// Sends every remembered selection (after a re-registration). Caller holds `control`.
void ReapplySelections(kqvxi_client* client);

// Decodes one record into *event.
void DecodeRecord(const kqvxi_record& record, kqvxi_event* event);

// Stops the descriptor bridge and closes the descriptor (close).
void StopDescriptorBridge(kqvxi_client* client);

// Reads clear the descriptor before they drain and signal it again when
// records may remain.
void ClearDescriptor(kqvxi_client* client);
void SignalDescriptor(kqvxi_client* client);
