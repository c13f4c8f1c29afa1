// kqvxi-ctl status's two forms. Text: one line for the server, one per client
// slot, and one indented line per non-empty selection table. JSON: one object,
// with each table as a list of [index, mask] pairs of its non-zero entries.
#include "ctl_status.h"

#include <string>

namespace {

// A client's selection tables, by the names both forms give them.
struct MaskTable {
    const char* name;
    const std::uint16_t* masks;
    int entries;
};

constexpr int TABLE_COUNT = 3;

void Tables(const kqvxi_client_info& c, MaskTable (&tables)[TABLE_COUNT]) {
    tables[0] = {"levels", c.level_masks, KQVXI_LEVEL_INDEXES};
    tables[1] = {"source_levels", c.source_level_masks, KQVXI_SOURCE_INDEXES};
    tables[2] = {"channels", c.channel_masks, KQVXI_CHANNEL_INDEXES};
}

std::uint64_t Dropped(const kqvxi_client_info& c) {
    return c.dropped_full + c.dropped_ended + c.dropped_lock_kept;
}

// "0,1,5": the flag classes selected.
std::string ClassList(std::uint32_t flagClasses) {
    std::string text;
    for (int cls = 0; cls < KQVXI_CLASS_COUNT; ++cls) {
        if ((flagClasses & (1u << cls)) != 0) {
            text += (text.empty() ? "" : ",") + std::to_string(cls);
        }
    }
    return text;
}

}  // namespace

void PrintStatusText(std::FILE* out, const kqvxi_server_info& server,
                     const kqvxi_client_info* clients, int count) {
    std::fprintf(out, "server pid %u instance %u uptime %llu.%03llus clients %u\n", server.pid,
                 server.instance, static_cast<unsigned long long>(server.uptime_ms / 1000),
                 static_cast<unsigned long long>(server.uptime_ms % 1000), server.clients);
    for (int i = 0; i < count; ++i) {
        const kqvxi_client_info& c = clients[i];
        std::fprintf(out,
                     "slot %u pid %u alive %u delivered %llu dropped %llu (full %llu ended %llu "
                     "lock-kept %llu) lock-waits %llu\n",
                     c.slot, c.pid, c.alive, static_cast<unsigned long long>(c.delivered),
                     static_cast<unsigned long long>(Dropped(c)),
                     static_cast<unsigned long long>(c.dropped_full),
                     static_cast<unsigned long long>(c.dropped_ended),
                     static_cast<unsigned long long>(c.dropped_lock_kept),
                     static_cast<unsigned long long>(c.lock_waits));
        std::fprintf(out, "  classes %s\n", ClassList(c.flag_classes).c_str());
        MaskTable tables[TABLE_COUNT];
        Tables(c, tables);
        for (const MaskTable& t : tables) {
            std::string line;
            for (int index = 0; index < t.entries; ++index) {
                if (t.masks[index] != 0) {
                    char entry[24];
                    std::snprintf(entry, sizeof entry, " %d:0x%x", index, t.masks[index]);
                    line += entry;
                }
            }
            if (!line.empty()) {
                std::fprintf(out, "  %s%s\n", t.name, line.c_str());
            }
        }
    }
}

void PrintStatusJson(std::FILE* out, const kqvxi_server_info& server,
                     const kqvxi_client_info* clients, int count) {
    std::fprintf(out,
                 "{\"controller\":%u,\"pid\":%u,\"instance\":%u,\"uptime_ms\":%llu,"
                 "\"clients\":%u,\"slots\":[",
                 server.controller, server.pid, server.instance,
                 static_cast<unsigned long long>(server.uptime_ms), server.clients);
    for (int i = 0; i < count; ++i) {
        const kqvxi_client_info& c = clients[i];
        std::fprintf(out,
                     "%s{\"slot\":%u,\"pid\":%u,\"alive\":%s,\"classes\":[%s],"
                     "\"delivered\":%llu,\"dropped\":%llu,\"dropped_full\":%llu,"
                     "\"dropped_ended\":%llu,\"dropped_lock_kept\":%llu,\"lock_waits\":%llu",
                     i == 0 ? "" : ",", c.slot, c.pid, c.alive != 0 ? "true" : "false",
                     ClassList(c.flag_classes).c_str(),
                     static_cast<unsigned long long>(c.delivered),
                     static_cast<unsigned long long>(Dropped(c)),
                     static_cast<unsigned long long>(c.dropped_full),
                     static_cast<unsigned long long>(c.dropped_ended),
                     static_cast<unsigned long long>(c.dropped_lock_kept),
                     static_cast<unsigned long long>(c.lock_waits));
        MaskTable tables[TABLE_COUNT];
        Tables(c, tables);
        for (const MaskTable& t : tables) {
            std::fprintf(out, ",\"%s\":[", t.name);
            bool first = true;
            for (int index = 0; index < t.entries; ++index) {
                if (t.masks[index] != 0) {
                    std::fprintf(out, "%s[%d,%u]", first ? "" : ",", index, t.masks[index]);
                    first = false;
                }
            }
            std::fprintf(out, "]");
        }
        std::fprintf(out, "}");
    }
    std::fprintf(out, "]}\n");
}
