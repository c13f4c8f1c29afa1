// The simulated board's test modes, read once from the environment: injected
// faults, a forced OpenController result, and the call record; and SimCall, which
// applies the fault mode to one operation call and records the call once.
#pragma once
#include <cstdint>
#include <initializer_list>

// Fault mode: true when the current call of op is to fail, with *status the
// status to return. Counts the call.
bool SimFaultHit(const char* op, std::int16_t* status);
// Result OpenController gives when the environment sets one.
bool SimOpenResultOverride(std::int16_t* result);

// Test hook: when KQVXI_SIM_STALL names op, the calling thread signals the
// named event SIM_STALLED_EVENT_NAME and then sleeps for good, as if stopped
// in the middle of the operation (a test then kills the process there).
inline constexpr const char* SIM_STALLED_EVENT_NAME = "KQVXINT Sim Stalled";
void SimStallPoint(const char* op);

// Appends one line to the call record when it is on:
// "<op> <args...> = <result>[ -> <outs...>]".
void SimTrace(const char* op, const std::int64_t* args, int argCount, std::int16_t result,
              const std::int64_t* outs = nullptr, int outCount = 0);

// One call of a board operation, recorded once: when it goes out of scope, or
// earlier through Record when what follows lets another process act on the
// result (the record then shows the call ahead of what it causes).
//   SimCall call("CloseController", {controller});
//   if (call.FaultHit()) return call.result;
//   ...
//   return call.Return(SIM_STATUS_OK);
struct SimCall {
    static constexpr int MAX_ARGS = 6;
    static constexpr int MAX_OUTS = 5;

    const char* op;
    std::int64_t args[MAX_ARGS] = {};
    int argCount = 0;
    std::int64_t outs[MAX_OUTS] = {};
    int outCount = 0;  // outputs are recorded only with result 0
    std::int16_t result = 0;
    bool recorded = false;

    SimCall(const char* name, std::initializer_list<std::int64_t> arguments);
    ~SimCall() { Record(); }
    SimCall(const SimCall&) = delete;
    SimCall& operator=(const SimCall&) = delete;

    // True when the fault mode fails this call; result then holds its status.
    bool FaultHit() { return SimFaultHit(op, &result); }
    std::int16_t Return(std::int16_t status) {
        result = status;
        return status;
    }
    void Outputs(std::initializer_list<std::int64_t> values);
    void Record();
};
