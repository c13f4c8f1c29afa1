// Scripted test double of the board's driver library, linked into in-process
// tests in place of the real library (target kq_fake_driver). It records every
// call with its arguments and result, returns what the test scripts, serves a
// scripted list of client requests and a queue of driver events, and runs the
// handlers the code under test installed.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "driver/kqvxint.h"

struct FakeCall {
    std::string op;                  // operation name, e.g. "InstallLevelHandler"
    std::vector<std::int64_t> args;  // scalar arguments in order (pointers omitted;
                                     // WaitDriverEvent records controller and flag)
    std::int16_t result;
};

struct FakeRequest {
    std::uint32_t pid, command, arg1, arg2, arg3;
};

struct FakeReply {
    std::uint32_t command, arg1, arg2, arg3;
};

// One driver event for the dispatch thread: which installed handler runs, with
// which arguments. kind selects the handler: "class0".."class5", "level",
// "channel", "source" (selector -1 handler) or "marked" (selector -2 handler).
// For source events, query* is what QueryEventSource reports while it runs.
struct FakeEvent {
    std::string kind;
    std::uint32_t a = 0, b = 0, c = 0;  // handler arguments in order
    std::int16_t queryStatus = 0;
    std::uint32_t queryIndex = 0, queryLevel = 0, querySource = 0, queryKind = 0;
};

// Forget everything: script, record, requests, replies, events, handlers, cancel state.
void FakeDriverReset();

// Make operation op return result: at its nth call (1-based), or on every call
// when nth is 0. Unscripted operations return 0 (OpenController too).
void FakeDriverSetResult(const std::string& op, std::int16_t result, std::uint32_t nth = 0);

// The calls made so far, in order (thread-safe copy).
std::vector<FakeCall> FakeDriverCalls();
// How many calls of op were made.
std::size_t FakeDriverCallCount(const std::string& op);

// Client requests: GetClientRequest hands them out in order. Queueing a request
// sets the server wake event SERVER_WAKE_EVENT_NAME (creating it if needed), and the
// fake sets it again after each GetClientRequest while requests remain, so one
// signal stands for each request. With no request left, GetClientRequest waits up to 0.5 s for one,
// then returns -1.
void FakeDriverQueueRequest(const FakeRequest& request);
// Replies sent through PutClientReply, in order.
std::vector<FakeReply> FakeDriverReplies();
// Blocks until n replies were sent or timeoutMs passed; true when reached.
bool FakeDriverWaitReplies(std::size_t n, std::uint32_t timeoutMs);

// Driver events: WaitDriverEvent blocks until one is queued (or the wait is
// cancelled: CancelDriverWait makes the pending or next wait return -8), then
// returns it as an item; DispatchDriverEvent runs the installed handler.
void FakeDriverQueueEvent(const FakeEvent& event);

// An event of kind with its three arguments, nothing else set.
inline FakeEvent FakeDriverEvent(const std::string& kind, std::uint32_t a = 0, std::uint32_t b = 0,
                                 std::uint32_t c = 0) {
    FakeEvent e;
    e.kind = kind;
    e.a = a;
    e.b = b;
    e.c = c;
    return e;
}
// Blocks until every queued event has been dispatched (handler returned) or
// timeoutMs passed; true when all were dispatched.
bool FakeDriverWaitIdle(std::uint32_t timeoutMs);
// Runs the installed handler for event on the calling thread, as a dispatch would
// (QueryEventSource reports the event's query fields meanwhile). False when no
// handler of that kind is installed.
bool FakeDriverRunHandler(const FakeEvent& event);
