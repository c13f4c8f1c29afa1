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

// One named argument of a record; format 'd' signed decimal, 'u' unsigned, 'x' hex.
struct FieldSpec {
    const char* name;
    char format;
};

// What a record's arguments arg1..arg3 mean, in order (fields past count unused).
// In source records arg1 carries the marker in its high half and the source in
// its low half.
struct RecordLayout {
    FieldSpec field[3];
    int count;
    bool source;
};

// Layouts by class number (classes 1 and 2 carry nothing).
inline constexpr RecordLayout CLASS_LAYOUTS[KQVXI_CLASS_COUNT] = {
    {{{"value", 'd'}}, 1, false},
    {{}, 0, false},
    {{}, 0, false},
    {{{"value", 'd'}}, 1, false},
    {{{"value", 'd'}}, 1, false},
    {{{"value", 'u'}}, 1, false},
    {{{"source", 'u'}}, 1, true},
    {{{"index", 'd'}, {"level", 'u'}, {"value", 'x'}}, 3, false},
    {{{"source", 'u'}, {"index", 'u'}, {"level", 'u'}}, 3, true},
    {{{"index", 'd'}, {"channel", 'u'}, {"value", 'x'}}, 3, false},
};
// A code of no class: every argument in hex. The unregistered record: nothing.
inline constexpr RecordLayout UNKNOWN_LAYOUT = {
    {{"arg1", 'x'}, {"arg2", 'x'}, {"arg3", 'x'}}, 3, false};
inline constexpr RecordLayout EMPTY_LAYOUT = {{}, 0, false};

// A record's arguments, named.
struct Fields {
    const RecordLayout* layout;
    std::uint32_t value[3];
    bool marked;  // source events: the marked handler set the marker
};

Fields Decode(const kqvxi_record& r) {
    const int cls = ClassOfCode(r.code);
    Fields f{cls < 0                    ? &UNKNOWN_LAYOUT
             : cls == KQVXI_CLASS_COUNT ? &EMPTY_LAYOUT
                                        : &CLASS_LAYOUTS[cls],
             {r.arg1, r.arg2, r.arg3},
             false};
    if (f.layout->source) {
        f.marked = (r.arg1 & 0xFFFF0000u) == KQVXI_SOURCE_MARKER;
        f.value[0] = r.arg1 & 0xFFFFu;
    }
    return f;
}

// The fields of record as text: "name=value ..." (hex fields as 0x%08x) or, for
// JSON, "\"name\":value,..." (every field decimal).
std::string Describe(const kqvxi_record& record, bool json) {
    const Fields f = Decode(record);
    std::string out;
    char buf[64];
    for (int i = 0; i < f.layout->count; ++i) {
        const char* name = f.layout->field[i].name;
        const char format = f.layout->field[i].format;
        const std::uint32_t value = f.value[i];
        if (format == 'd') {
            std::snprintf(buf, sizeof buf, json ? "\"%s\":%d" : "%s=%d", name,
                          static_cast<std::int32_t>(value));
        } else if (json || format == 'u') {
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
