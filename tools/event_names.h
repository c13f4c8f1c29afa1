// Names of the event classes as the tools print and accept them, and the decoding
// of a record's arguments into named fields.
#pragma once
#include <cstdint>
#include <string>

#include "kqvxi/events.h"

// Class names, index = class number 0..9.
inline constexpr const char* CLASS_NAMES[KQVXI_CLASS_COUNT] = {
    "class0", "class1", "class2", "class3",       "class4",
    "class5", "source", "level",  "source-level", "channel"};

// Class number of a name or decimal number, or -1.
int ClassFromName(const std::string& name);

// The class of a code (0..9), 10 for CODE_UNREGISTERED, -1 for anything else.
int ClassOfCode(std::uint32_t code);

// Human-readable fields of a record ("index=3 level=2 value=0x00000010").
std::string DescribeRecord(const kqvxi_record& record);

// The same fields as JSON members without braces ("\"index\":3,\"level\":2,...").
std::string DescribeRecordJson(const kqvxi_record& record);
