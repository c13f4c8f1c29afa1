"""Event classes and the records a client receives, one frozen dataclass per class.

Every record keeps what the server posted (``code``, ``arg1``..``arg3``) and
adds the class's named fields, decoded as the client library decodes them.
"""

from __future__ import annotations

import dataclasses
import enum
from dataclasses import dataclass
from typing import ClassVar, Dict, Type

EVENT_CODE_BASE = 0xDEAD0000
CODE_UNREGISTERED = 0xDEAD03E7
SOURCE_MARKER = 0xABCD0000
_RAW_FIELDS = ("code", "arg1", "arg2", "arg3")


class EventClass(enum.IntEnum):
    """The event classes; the value is the class number of kqvxi.h."""

    CLASS0 = 0  #: value, signed
    CLASS1 = 1  #: no fields; reaches every client
    CLASS2 = 2  #: no fields
    CLASS3 = 3  #: value, signed
    CLASS4 = 4  #: value, signed
    CLASS5 = 5  #: value, unsigned
    SOURCE = 6  #: source, marked
    LEVEL = 7  #: index, level, value
    SOURCE_LEVEL = 8  #: source, marked, index, level
    CHANNEL = 9  #: index, channel, value
    UNREGISTERED = 10  #: the last record of a registration
    UNKNOWN = -1  #: a code of no class: only the raw fields mean something

    @property
    def label(self) -> str:
        """The name the tools print: class0..class5, source, level, source-level, channel."""
        return _LABELS[self]

    @property
    def code(self) -> int:
        """The record code of the class (0 for UNKNOWN)."""
        if self is EventClass.UNREGISTERED:
            return CODE_UNREGISTERED
        if self is EventClass.UNKNOWN:
            return 0
        return EVENT_CODE_BASE + int(self)


_LABELS: Dict[EventClass, str] = {
    EventClass.CLASS0: "class0",
    EventClass.CLASS1: "class1",
    EventClass.CLASS2: "class2",
    EventClass.CLASS3: "class3",
    EventClass.CLASS4: "class4",
    EventClass.CLASS5: "class5",
    EventClass.SOURCE: "source",
    EventClass.LEVEL: "level",
    EventClass.SOURCE_LEVEL: "source-level",
    EventClass.CHANNEL: "channel",
    EventClass.UNREGISTERED: "unregistered",
    EventClass.UNKNOWN: "unknown",
}

# Classes the flag selection switches (kqvxi_select_class).
FLAG_CLASSES = (
    EventClass.CLASS0,
    EventClass.CLASS1,
    EventClass.CLASS2,
    EventClass.CLASS3,
    EventClass.CLASS4,
    EventClass.CLASS5,
    EventClass.SOURCE,
)


@dataclass(frozen=True)
class Record:
    """A record as the server posted it. Subclasses add the class's named fields."""

    cls: ClassVar[EventClass] = EventClass.UNKNOWN
    code: int
    arg1: int
    arg2: int
    arg3: int

    @property
    def name(self) -> str:
        """The class's name as the tools print it (``level``, ``class0``...)."""
        return self.cls.label

    def __str__(self) -> str:
        """The name and named fields, as the monitor prints them."""
        named = [f for f in dataclasses.fields(self) if f.name not in _RAW_FIELDS]
        if not named and self.cls is EventClass.UNKNOWN:
            return f"unknown code=0x{self.code:08x} arg1=0x{self.arg1:x} arg2=0x{self.arg2:x} arg3=0x{self.arg3:x}"
        parts = [self.name]
        for f in named:
            value = getattr(self, f.name)
            if f.name == "value" and self.cls in (EventClass.LEVEL, EventClass.CHANNEL):
                parts.append(f"value=0x{value:x}")
            else:
                parts.append(f"{f.name}={value}")
        return " ".join(parts)


@dataclass(frozen=True)
class UnknownRecord(Record):
    """A code of no class."""


@dataclass(frozen=True)
class Class0Record(Record):
    cls: ClassVar[EventClass] = EventClass.CLASS0
    value: int  #: signed 16-bit value


@dataclass(frozen=True)
class Class1Record(Record):
    cls: ClassVar[EventClass] = EventClass.CLASS1


@dataclass(frozen=True)
class Class2Record(Record):
    cls: ClassVar[EventClass] = EventClass.CLASS2


@dataclass(frozen=True)
class Class3Record(Record):
    cls: ClassVar[EventClass] = EventClass.CLASS3
    value: int  #: signed 16-bit value


@dataclass(frozen=True)
class Class4Record(Record):
    cls: ClassVar[EventClass] = EventClass.CLASS4
    value: int  #: signed 16-bit value


@dataclass(frozen=True)
class Class5Record(Record):
    cls: ClassVar[EventClass] = EventClass.CLASS5
    value: int  #: unsigned 16-bit value


@dataclass(frozen=True)
class SourceRecord(Record):
    cls: ClassVar[EventClass] = EventClass.SOURCE
    source: int  #: the source, 0..65535
    marked: bool  #: posted by the marking handler


@dataclass(frozen=True)
class LevelRecord(Record):
    cls: ClassVar[EventClass] = EventClass.LEVEL
    index: int  #: the table index (signed)
    level: int  #: the level, 1..7 for a selectable one
    value: int  #: the 32-bit value, unsigned


@dataclass(frozen=True)
class SourceLevelRecord(Record):
    cls: ClassVar[EventClass] = EventClass.SOURCE_LEVEL
    source: int  #: the source, 0..65535
    marked: bool  #: posted by the marking handler
    index: int  #: the index the board reported
    level: int  #: the level the board reported


@dataclass(frozen=True)
class ChannelRecord(Record):
    cls: ClassVar[EventClass] = EventClass.CHANNEL
    index: int  #: the table index (signed)
    channel: int  #: the channel as the board reported it (50 stays 50)
    value: int  #: the 16-bit value


@dataclass(frozen=True)
class UnregisteredRecord(Record):
    cls: ClassVar[EventClass] = EventClass.UNREGISTERED


RECORD_TYPES: Dict[EventClass, Type[Record]] = {
    t.cls: t
    for t in (
        UnknownRecord,
        Class0Record,
        Class1Record,
        Class2Record,
        Class3Record,
        Class4Record,
        Class5Record,
        SourceRecord,
        LevelRecord,
        SourceLevelRecord,
        ChannelRecord,
        UnregisteredRecord,
    )
}


def _signed32(value: int) -> int:
    value &= 0xFFFFFFFF
    return value - 0x100000000 if value & 0x80000000 else value


def make_record(
    cls: int,
    code: int,
    arg1: int,
    arg2: int,
    arg3: int,
    *,
    value: int = 0,
    index: int = 0,
    level: int = 0,
    channel: int = 0,
    source: int = 0,
    marked: int = 0,
) -> Record:
    """A record of the class the library decoded, from its raw and decoded fields."""
    try:
        kind = EventClass(cls)
    except ValueError:
        kind = EventClass.UNKNOWN
    raw = dict(code=code, arg1=arg1, arg2=arg2, arg3=arg3)
    if kind in (EventClass.CLASS0, EventClass.CLASS3, EventClass.CLASS4):
        return RECORD_TYPES[kind](**raw, value=_signed32(value))
    if kind is EventClass.CLASS5:
        return Class5Record(**raw, value=value)
    if kind is EventClass.SOURCE:
        return SourceRecord(**raw, source=source, marked=bool(marked))
    if kind is EventClass.LEVEL:
        return LevelRecord(**raw, index=index, level=level, value=value)
    if kind is EventClass.SOURCE_LEVEL:
        return SourceLevelRecord(**raw, source=source, marked=bool(marked), index=index, level=level)
    if kind is EventClass.CHANNEL:
        return ChannelRecord(**raw, index=index, channel=channel, value=value)
    return RECORD_TYPES[kind](**raw)


def decode(code: int, arg1: int, arg2: int, arg3: int) -> Record:
    """Decodes a raw record without the library (for records kept or sent elsewhere)."""
    if code == CODE_UNREGISTERED:
        return UnregisteredRecord(code, arg1, arg2, arg3)
    cls = (code - EVENT_CODE_BASE) & 0xFFFFFFFF
    if cls > 9:
        return UnknownRecord(code, arg1, arg2, arg3)
    source = arg1 & 0xFFFF
    marked = (arg1 & 0xFFFF0000) == SOURCE_MARKER
    fields: Dict[int, dict] = {
        0: dict(value=arg1),
        3: dict(value=arg1),
        4: dict(value=arg1),
        5: dict(value=arg1),
        6: dict(source=source, marked=marked),
        7: dict(index=_signed32(arg1), level=arg2, value=arg3),
        8: dict(source=source, marked=marked, index=arg2, level=arg3),
        9: dict(index=_signed32(arg1), channel=arg2, value=arg3),
    }
    return make_record(cls, code, arg1, arg2, arg3, **fields.get(cls, {}))
