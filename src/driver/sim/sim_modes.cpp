// The simulated board's test modes, taken from the environment on first use:
//   KQVXI_SIM_OPEN_RESULT=n   OpenController returns n (2: reduced handler set;
//                             negative: failure, the controller stays closed)
//   KQVXI_SIM_FAIL=rules      comma-separated Op@N or Op@* (Nth call, 1-based, or
//                             every call), each with an optional =status (default -1)
//   KQVXI_SIM_TRACE=path      appends one line per operation call to path
//   KQVXI_SIM_STALL=Op        the operation stalls for good at its stall point
#include "driver/sim/sim_modes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/atomic.h"
#include "platform/event.h"
#include "platform/types.h"

namespace {

std::mutex modesMutex;  // guards everything below but the trace file's writes

struct FaultRule {
    char op[40];
    std::uint32_t nth;  // 0: every call
    std::int16_t status;
};
inline constexpr int MAX_FAULT_RULES = 32;
FaultRule faultRules[MAX_FAULT_RULES];
int faultRuleCount = 0;

struct OpCounter {
    char op[40];
    std::uint32_t calls;
};
inline constexpr int MAX_OP_COUNTERS = 32;
OpCounter opCounters[MAX_OP_COUNTERS];
int opCounterCount = 0;

bool modesRead = false;
bool openResultSet = false;
std::int16_t openResult = 0;
char tracePath[1024];
std::mutex traceMutex;
// Set once the environment was read and asked for no fault rules and no trace,
// as in normal use: then the checks on every operation need no lock.
bool plainMode = false;

// Parses one rule "Op@N[=status]" or "Op@*[=status]" into *rule. False when
// malformed.
bool ParseFaultRule(char* text, FaultRule* rule) {
    char* at = std::strchr(text, '@');
    if (at == nullptr || at == text || static_cast<std::size_t>(at - text) >= sizeof rule->op) {
        return false;
    }
    *at = 0;
    std::memcpy(rule->op, text, static_cast<std::size_t>(at - text) + 1);
    rule->status = -1;
    if (char* eq = std::strchr(at + 1, '='); eq != nullptr) {
        *eq = 0;
        rule->status = static_cast<std::int16_t>(std::strtol(eq + 1, nullptr, 10));
    }
    if (std::strcmp(at + 1, "*") == 0) {
        rule->nth = 0;
        return true;
    }
    char* numEnd = nullptr;
    unsigned long n = std::strtoul(at + 1, &numEnd, 10);
    rule->nth = static_cast<std::uint32_t>(n);
    return numEnd != at + 1 && *numEnd == 0 && n > 0;
}

// Parses KQVXI_SIM_FAIL. Malformed rules are skipped.
void ParseFaultRules(const char* text) {
    while (*text != 0 && faultRuleCount < MAX_FAULT_RULES) {
        const char* end = std::strchr(text, ',');
        std::size_t len = end != nullptr ? static_cast<std::size_t>(end - text) : std::strlen(text);
        char rule[96];
        if (len < sizeof rule) {
            std::memcpy(rule, text, len);
            rule[len] = 0;
            if (ParseFaultRule(rule, &faultRules[faultRuleCount])) {
                ++faultRuleCount;
            }
        }
        text += len;
        if (*text == ',') {
            ++text;
        }
    }
}

// Reads the environment once. Caller holds modesMutex.
void ReadModes() {
    if (modesRead) {
        return;
    }
    modesRead = true;
    if (const char* open = std::getenv("KQVXI_SIM_OPEN_RESULT"); open != nullptr && *open != 0) {
        openResultSet = true;
        openResult = static_cast<std::int16_t>(std::strtol(open, nullptr, 10));
    }
    if (const char* fail = std::getenv("KQVXI_SIM_FAIL"); fail != nullptr) {
        ParseFaultRules(fail);
    }
    if (const char* trace = std::getenv("KQVXI_SIM_TRACE"); trace != nullptr) {
        std::snprintf(tracePath, sizeof tracePath, "%s", trace);
    }
    OsAtomicStore(&plainMode, faultRuleCount == 0 && tracePath[0] == 0);
}

// The call counter of op, added when missing. Null when the table is full.
// Caller holds modesMutex.
OpCounter* CounterFor(const char* op) {
    for (int i = 0; i < opCounterCount; ++i) {
        if (std::strcmp(opCounters[i].op, op) == 0) {
            return &opCounters[i];
        }
    }
    if (opCounterCount == MAX_OP_COUNTERS) {
        return nullptr;
    }
    OpCounter* counter = &opCounters[opCounterCount++];
    std::snprintf(counter->op, sizeof counter->op, "%s", op);
    counter->calls = 0;
    return counter;
}

}  // namespace

bool SimFaultHit(const char* op, std::int16_t* status) {
    if (OsAtomicLoad(&plainMode)) {
        return false;  // no rule can hit, so no call needs counting
    }
    std::lock_guard<std::mutex> lock(modesMutex);
    ReadModes();
    OpCounter* counter = CounterFor(op);
    std::uint32_t n = counter != nullptr ? ++counter->calls : 0;
    bool hit = false;
    for (int i = 0; i < faultRuleCount; ++i) {
        const FaultRule& r = faultRules[i];
        if (std::strcmp(r.op, op) == 0 && (r.nth == 0 || r.nth == n)) {
            *status = r.status;
            hit = true;
            if (r.nth != 0) {
                break;  // an exact Nth rule wins over an every-call rule
            }
        }
    }
    return hit;
}

bool SimOpenResultOverride(std::int16_t* result) {
    std::lock_guard<std::mutex> lock(modesMutex);
    ReadModes();
    if (openResultSet) {
        *result = openResult;
    }
    return openResultSet;
}

void SimTrace(const char* op, const std::int64_t* args, int argCount, std::int16_t result,
              const std::int64_t* outs, int outCount) {
    if (OsAtomicLoad(&plainMode)) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(modesMutex);
        ReadModes();
        if (tracePath[0] == 0) {
            return;
        }
    }
    char line[512];
    int len = std::snprintf(line, sizeof line, "%s", op);
    for (int i = 0; i < argCount && len < 400; ++i) {
        len +=
            std::snprintf(line + len, sizeof line - len, " %lld", static_cast<long long>(args[i]));
    }
    len += std::snprintf(line + len, sizeof line - len, " = %d", result);
    if (outCount > 0) {
        len += std::snprintf(line + len, sizeof line - len, " ->");
        for (int i = 0; i < outCount && len < 480; ++i) {
            len += std::snprintf(line + len, sizeof line - len, " %lld",
                                 static_cast<long long>(outs[i]));
        }
    }
    std::snprintf(line + len, sizeof line - len, "\n");
    std::lock_guard<std::mutex> lock(traceMutex);
    if (std::FILE* f = std::fopen(tracePath, "a"); f != nullptr) {
        std::fputs(line, f);
        std::fclose(f);
    }
}

void SimStallPoint(const char* op) {
    const char* stall = std::getenv("KQVXI_SIM_STALL");
    if (stall == nullptr || std::strcmp(stall, op) != 0) {
        return;
    }
    OsHandle stalled = OsCreateEvent(SIM_STALLED_EVENT_NAME, true, false);
    OsSetEvent(stalled);
    for (;;) {
        OsSleep(1000);
    }
}

SimCall::SimCall(const char* name, std::initializer_list<std::int64_t> arguments) : op(name) {
    for (std::int64_t a : arguments) {
        if (argCount < MAX_ARGS) {
            args[argCount++] = a;
        }
    }
}

void SimCall::Outputs(std::initializer_list<std::int64_t> values) {
    outCount = 0;
    for (std::int64_t v : values) {
        if (outCount < MAX_OUTS) {
            outs[outCount++] = v;
        }
    }
}

void SimCall::Record() {
    if (recorded) {
        return;
    }
    recorded = true;
    SimTrace(op, args, argCount, result, result == 0 ? outs : nullptr, result == 0 ? outCount : 0);
}
