// Scripted test double of the board's driver library: owns the call record, the
// scripted results, the request and reply lists, the driver event queue, the
// installed handlers and the cancellation state, all behind one process-local lock.
// The operations are the extern "C" entry points that kqvxint.h declares.
#include "support/fake_driver.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

#include "platform/event.h"

namespace {

// A scripted result: at the nth call of the operation, or on every call (nth 0).
struct Scripted {
    std::int16_t result;
    std::uint32_t nth;
};

struct Handlers {
    KqSignedValueHandler class0 = nullptr;
    KqNoArgHandler class1 = nullptr;
    KqNoArgHandler class2 = nullptr;
    KqSignedValueHandler class3 = nullptr;
    KqSignedValueHandler class4 = nullptr;
    KqUnsignedValueHandler class5 = nullptr;
    KqLevelHandler level = nullptr;
    KqChannelHandler channel = nullptr;
    KqSourceHandler source = nullptr;
    KqSourceHandler marked = nullptr;
};

// Everything below is guarded by mu.
struct FakeState {
    std::mutex mu;
    std::condition_variable changed;
    std::map<std::string, std::vector<Scripted>> script;
    std::map<std::string, std::uint32_t> callCounts;
    std::vector<FakeCall> calls;
    std::deque<FakeRequest> requests;
    std::vector<FakeReply> replies;
    std::deque<FakeEvent> events;              // queued, not yet handed out by a wait
    std::map<std::uint32_t, FakeEvent> taken;  // handed out, not yet dispatched
    std::uint32_t nextItem = 1;
    bool cancelPending = false;
    Handlers handlers;
    OsHandle serverEvent = OS_NO_HANDLE;
};

FakeState& State() {
    static FakeState state;
    return state;
}

// The source event whose handler runs on this thread, for QueryEventSource.
thread_local const FakeEvent* tRunningEvent = nullptr;

// Counts the call of op and tells whether a scripted result applies to it.
// Caller holds mu.
bool NextScripted(FakeState& s, const std::string& op, std::int16_t* result) {
    std::uint32_t n = ++s.callCounts[op];
    auto it = s.script.find(op);
    if (it == s.script.end()) {
        return false;
    }
    bool found = false;
    for (const Scripted& entry : it->second) {
        if (entry.nth == n) {
            *result = entry.result;
            return true;  // an exact nth entry wins over an every-call entry
        }
        if (entry.nth == 0) {
            *result = entry.result;
            found = true;
        }
    }
    return found;
}

void Record(FakeState& s, const char* op, std::vector<std::int64_t> args, std::int16_t result) {
    s.calls.push_back(FakeCall{op, std::move(args), result});
    s.changed.notify_all();
}

void SignalServer(FakeState& s) {
    if (s.serverEvent == OS_NO_HANDLE) {
        s.serverEvent = OsCreateEvent(SERVER_WAKE_EVENT_NAME, false, false);
    }
    if (s.serverEvent != OS_NO_HANDLE) {
        OsSetEvent(s.serverEvent);
    }
}

// Runs the handler for event, if one of its kind is installed. Called without mu.
bool RunHandler(const Handlers& h, const FakeEvent& e) {
    const FakeEvent* previous = tRunningEvent;
    tRunningEvent = &e;
    bool ran = true;
    const std::string& k = e.kind;
    if (k == "class0" && h.class0 != nullptr) {
        h.class0(static_cast<std::int16_t>(e.a));
    } else if (k == "class1" && h.class1 != nullptr) {
        h.class1();
    } else if (k == "class2" && h.class2 != nullptr) {
        h.class2();
    } else if (k == "class3" && h.class3 != nullptr) {
        h.class3(static_cast<std::int16_t>(e.a));
    } else if (k == "class4" && h.class4 != nullptr) {
        h.class4(static_cast<std::int16_t>(e.a));
    } else if (k == "class5" && h.class5 != nullptr) {
        h.class5(static_cast<std::uint16_t>(e.a));
    } else if (k == "level" && h.level != nullptr) {
        h.level(static_cast<std::int16_t>(e.a), static_cast<std::uint16_t>(e.b), e.c);
    } else if (k == "channel" && h.channel != nullptr) {
        h.channel(static_cast<std::int16_t>(e.a), static_cast<std::uint16_t>(e.b),
                  static_cast<std::uint16_t>(e.c));
    } else if (k == "source" && h.source != nullptr) {
        h.source(static_cast<std::uint16_t>(e.a));
    } else if (k == "marked" && h.marked != nullptr) {
        h.marked(static_cast<std::uint16_t>(e.a));
    } else {
        ran = false;
    }
    tRunningEvent = previous;
    return ran;
}

Handlers CopyHandlers() {
    FakeState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.handlers;
}

// Common body of the installers: a scripted negative result leaves the slot as it was.
template <typename H>
std::int16_t Install(const char* op, std::vector<std::int64_t> args, H Handlers::*slot, H handler) {
    FakeState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    std::int16_t result = 0;
    NextScripted(s, op, &result);
    if (result >= 0) {
        s.handlers.*slot = handler;
    }
    Record(s, op, std::move(args), result);
    return result;
}

}  // namespace

void FakeDriverReset() {
    FakeState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    s.script.clear();
    s.callCounts.clear();
    s.calls.clear();
    s.requests.clear();
    s.replies.clear();
    s.events.clear();
    s.taken.clear();
    s.nextItem = 1;
    s.cancelPending = false;
    s.handlers = Handlers{};
    if (s.serverEvent != OS_NO_HANDLE) {
        OsResetEvent(s.serverEvent);
    }
    s.changed.notify_all();
}

void FakeDriverSetResult(const std::string& op, std::int16_t result, std::uint32_t nth) {
    FakeState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    s.script[op].push_back(Scripted{result, nth});
}

std::vector<FakeCall> FakeDriverCalls() {
    FakeState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.calls;
}

std::size_t FakeDriverCallCount(const std::string& op) {
    FakeState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    std::size_t n = 0;
    for (const FakeCall& c : s.calls) {
        n += (c.op == op) ? 1 : 0;
    }
    return n;
}

void FakeDriverQueueRequest(const FakeRequest& request) {
    FakeState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    s.requests.push_back(request);
    SignalServer(s);
    s.changed.notify_all();
}

std::vector<FakeReply> FakeDriverReplies() {
    FakeState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.replies;
}

bool FakeDriverWaitReplies(std::size_t n, std::uint32_t timeoutMs) {
    FakeState& s = State();
    std::unique_lock<std::mutex> lock(s.mu);
    return s.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return s.replies.size() >= n; });
}

void FakeDriverQueueEvent(const FakeEvent& event) {
    FakeState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    s.events.push_back(event);
    s.changed.notify_all();
}

bool FakeDriverWaitIdle(std::uint32_t timeoutMs) {
    FakeState& s = State();
    std::unique_lock<std::mutex> lock(s.mu);
    return s.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return s.events.empty() && s.taken.empty(); });
}

bool FakeDriverRunHandler(const FakeEvent& event) {
    return RunHandler(CopyHandlers(), event);
}

extern "C" {

std::int16_t KQ_STDCALL OpenController(std::int16_t controller) {
    FakeState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    std::int16_t result = 0;
    NextScripted(s, "OpenController", &result);
    Record(s, "OpenController", {controller}, result);
    return result;
}

std::int16_t KQ_STDCALL CloseController(std::int16_t controller) {
    FakeState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    std::int16_t result = 0;
    NextScripted(s, "CloseController", &result);
    Record(s, "CloseController", {controller}, result);
    return result;
}

std::int16_t KQ_STDCALL WaitDriverEvent(std::int16_t controller, std::uint32_t* item,
                                        std::uint8_t notFirstCall) {
    FakeState& s = State();
    std::unique_lock<std::mutex> lock(s.mu);
    std::int16_t result = 0;
    if (!NextScripted(s, "WaitDriverEvent", &result) || result >= 0) {
        if (item == nullptr) {
            result = -1;
        } else {
            // A cancellation wins over queued events: the pending or next wait ends.
            s.changed.wait(lock, [&] { return s.cancelPending || !s.events.empty(); });
            if (s.cancelPending) {
                s.cancelPending = false;
                result = KQ_WAIT_CANCELLED;
            } else {
                std::uint32_t id = s.nextItem++;
                s.taken[id] = s.events.front();
                s.events.pop_front();
                *item = id;
            }
        }
    }
    Record(s, "WaitDriverEvent", {controller, notFirstCall}, result);
    return result;
}

std::int16_t KQ_STDCALL DispatchDriverEvent(std::uint32_t item) {
    FakeState& s = State();
    std::unique_lock<std::mutex> lock(s.mu);
    std::int16_t result = 0;
    bool scripted = NextScripted(s, "DispatchDriverEvent", &result);
    auto it = s.taken.find(item);
    if (it == s.taken.end()) {
        Record(s, "DispatchDriverEvent", {item}, scripted ? result : std::int16_t{-1});
        return scripted ? result : std::int16_t{-1};
    }
    FakeEvent event = it->second;
    Handlers handlers = s.handlers;
    lock.unlock();
    RunHandler(handlers, event);
    lock.lock();
    s.taken.erase(item);
    Record(s, "DispatchDriverEvent", {item}, result);
    return result;
}

std::int16_t KQ_STDCALL CancelDriverWait(std::int16_t controller) {
    FakeState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    std::int16_t result = 0;
    NextScripted(s, "CancelDriverWait", &result);
    if (result >= 0) {
        s.cancelPending = true;
    }
    Record(s, "CancelDriverWait", {controller}, result);
    return result;
}

std::int16_t KQ_STDCALL GetClientRequest(std::int16_t controller, std::uint32_t* pid,
                                         std::uint32_t* command, std::uint32_t* arg1,
                                         std::uint32_t* arg2, std::uint32_t* arg3) {
    FakeState& s = State();
    std::unique_lock<std::mutex> lock(s.mu);
    // The server wake event is one name for the whole machine, so a server under
    // test can be woken by another process's request. Such a stray wake waits here
    // a moment for the test's own request instead of failing the server at once.
    s.changed.wait_for(lock, std::chrono::milliseconds(500), [&s] { return !s.requests.empty(); });
    std::int16_t result = 0;
    if (!NextScripted(s, "GetClientRequest", &result) || result >= 0) {
        if (pid == nullptr || command == nullptr || arg1 == nullptr || arg2 == nullptr ||
            arg3 == nullptr || s.requests.empty()) {
            result = -1;
        } else {
            const FakeRequest& r = s.requests.front();
            *pid = r.pid;
            *command = r.command;
            *arg1 = r.arg1;
            *arg2 = r.arg2;
            *arg3 = r.arg3;
            s.requests.pop_front();
            if (!s.requests.empty()) {
                SignalServer(s);
            }
        }
    }
    Record(s, "GetClientRequest", {controller}, result);
    return result;
}

std::int16_t KQ_STDCALL PutClientReply(std::int16_t controller, std::int16_t zero,
                                       std::uint32_t command, std::uint32_t* arg1,
                                       std::uint32_t* arg2, std::uint32_t* arg3) {
    FakeState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    std::int16_t result = 0;
    if (!NextScripted(s, "PutClientReply", &result) || result >= 0) {
        if (arg1 == nullptr || arg2 == nullptr || arg3 == nullptr) {
            result = -1;
        } else {
            s.replies.push_back(FakeReply{command, *arg1, *arg2, *arg3});
        }
    }
    Record(s, "PutClientReply", {controller, zero, command}, result);
    return result;
}

std::int16_t KQ_STDCALL QueryEventSource(std::uint32_t* index, std::uint32_t* level,
                                         std::uint32_t* source, std::uint32_t* kind) {
    const FakeEvent* e = tRunningEvent;
    FakeState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    std::int16_t result = 0;
    if (!NextScripted(s, "QueryEventSource", &result) || result >= 0) {
        if (index == nullptr || level == nullptr || source == nullptr || kind == nullptr ||
            e == nullptr) {
            result = -1;
        } else if (e->queryStatus < 0) {
            result = e->queryStatus;
        } else {
            *index = e->queryIndex;
            *level = e->queryLevel;
            *source = e->querySource;
            *kind = e->queryKind;
            result = e->queryStatus;
        }
    }
    Record(s, "QueryEventSource", {}, result);
    return result;
}

std::int16_t KQ_STDCALL InstallClass0Handler(KqSignedValueHandler handler) {
    return Install("InstallClass0Handler", {}, &Handlers::class0, handler);
}
std::int16_t KQ_STDCALL InstallClass1Handler(KqNoArgHandler handler) {
    return Install("InstallClass1Handler", {}, &Handlers::class1, handler);
}
std::int16_t KQ_STDCALL InstallClass2Handler(KqNoArgHandler handler) {
    return Install("InstallClass2Handler", {}, &Handlers::class2, handler);
}
std::int16_t KQ_STDCALL InstallClass3Handler(KqSignedValueHandler handler) {
    return Install("InstallClass3Handler", {}, &Handlers::class3, handler);
}
std::int16_t KQ_STDCALL InstallClass4Handler(KqSignedValueHandler handler) {
    return Install("InstallClass4Handler", {}, &Handlers::class4, handler);
}
std::int16_t KQ_STDCALL InstallLevelHandler(std::int16_t levelMask, KqLevelHandler handler) {
    return Install("InstallLevelHandler", {levelMask}, &Handlers::level, handler);
}
std::int16_t KQ_STDCALL InstallChannelHandler(std::uint16_t channelMask, KqChannelHandler handler) {
    return Install("InstallChannelHandler", {channelMask}, &Handlers::channel, handler);
}
std::int16_t KQ_STDCALL InstallClass5Handler(KqUnsignedValueHandler handler) {
    return Install("InstallClass5Handler", {}, &Handlers::class5, handler);
}
std::int16_t KQ_STDCALL InstallSourceHandler(std::int16_t selector, KqSourceHandler handler) {
    if (selector == -2) {
        return Install("InstallSourceHandler", {selector}, &Handlers::marked, handler);
    }
    if (selector == -1) {
        return Install("InstallSourceHandler", {selector}, &Handlers::source, handler);
    }
    // Any other selector is refused (unless scripted otherwise).
    FakeState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    std::int16_t result = -1;
    NextScripted(s, "InstallSourceHandler", &result);
    Record(s, "InstallSourceHandler", {selector}, result);
    return result;
}

}  // extern "C"
