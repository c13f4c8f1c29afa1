// Decoding of records for the tools: what each argument of each class means.
#include "event_names.h"

#include <cstdio>
#include <cstdlib>

int ClassFromName(const std::string& name) {
    for (int i = 0; i < KQVXI_CLASS_COUNT; ++i) {
        if (name == CLASS_NAMES[i]) {
            return i;
        }
    }
    if (!name.empty() && name.size() <= 2 &&
        name.find_first_not_of("0123456789") == std::string::npos) {
        int n = std::atoi(name.c_str());
        return n < KQVXI_CLASS_COUNT ? n : -1;
    }
    return -1;
}

int ClassOfCode(std::uint32_t code) {
    if (code == KQVXI_CODE_UNREGISTERED) {
        return KQVXI_CLASS_COUNT;
    }
    std::uint32_t cls = code - KQVXI_EVENT_CODE_BASE;
    return cls < KQVXI_CLASS_COUNT ? static_cast<int>(cls) : -1;
}

namespace {
struct Fields {
    // Up to three named fields; format 'd' signed decimal, 'u' unsigned, 'x' hex.
    const char* name[3];
    char format[3];
    std::uint32_t value[3];
    int count;
    bool marked;  // source events: the marked handler set the marker
};

Fields Decode(const kqvxi_record& r) {
    Fields f{};
    auto add = [&f](const char* name, char format, std::uint32_t value) {
        f.name[f.count] = name;
        f.format[f.count] = format;
        f.value[f.count] = value;
        ++f.count;
    };
    switch (ClassOfCode(r.code)) {
        case 0:
        case 3:
        case 4:
            add("value", 'd', r.arg1);
            break;
        case 5:
            add("value", 'u', r.arg1);
            break;
        case 6:
            f.marked = (r.arg1 & 0xFFFF0000u) == KQVXI_SOURCE_MARKER;
            add("source", 'u', r.arg1 & 0xFFFFu);
            break;
        case 7:
            add("index", 'd', r.arg1);
            add("level", 'u', r.arg2);
            add("value", 'x', r.arg3);
            break;
        case 8:
            f.marked = (r.arg1 & 0xFFFF0000u) == KQVXI_SOURCE_MARKER;
            add("source", 'u', r.arg1 & 0xFFFFu);
            add("index", 'u', r.arg2);
            add("level", 'u', r.arg3);
            break;
        case 9:
            add("index", 'd', r.arg1);
            add("channel", 'u', r.arg2);
            add("value", 'x', r.arg3);
            break;
        case -1:
            add("arg1", 'x', r.arg1);
            add("arg2", 'x', r.arg2);
            add("arg3", 'x', r.arg3);
            break;
        default:
            break;
    }
    return f;
}

// The fields of record as text: "name=value ..." (hex fields as 0x%08x) or, for
// JSON, "\"name\":value,..." (every field decimal).
std::string Describe(const kqvxi_record& record, bool json) {
    const Fields f = Decode(record);
    std::string out;
    char buf[64];
    for (int i = 0; i < f.count; ++i) {
        const char* name = f.name[i];
        const std::uint32_t value = f.value[i];
        if (f.format[i] == 'd') {
            std::snprintf(buf, sizeof buf, json ? "\"%s\":%d" : "%s=%d", name,
                          static_cast<std::int32_t>(value));
        } else if (json || f.format[i] == 'u') {
            std::snprintf(buf, sizeof buf, json ? "\"%s\":%u" : "%s=%u", name, value);
        } else {
            std::snprintf(buf, sizeof buf, "%s=0x%08x", name, value);
        }
        if (!out.empty()) {
            out += json ? ',' : ' ';
        }
        out += buf;
    }
    if (f.marked) {
        out += json ? ",\"marked\":true" : " marked";
    }
    return out;
}

}  // namespace

std::string DescribeRecord(const kqvxi_record& record) {
    return Describe(record, false);
}

std::string DescribeRecordJson(const kqvxi_record& record) {
    return Describe(record, true);
}
