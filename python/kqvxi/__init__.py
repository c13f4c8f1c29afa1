"""kqvxi: Python client of the kqvxi interrupt event server.

A thin layer over the kqvxi client library (ctypes): register with the server
of a board controller, select event classes, and read the records it delivers,
blocking or on asyncio::

    import kqvxi
    with kqvxi.Client(controller=1) as c:
        c.select_class(kqvxi.EventClass.CLASS0)
        c.select_levels(3, kqvxi.level_bit(2))
        for rec in c.records(timeout=1.0):
            print(rec.name, rec)
        print(c.stats().dropped)

The library is found through KQVXI_LIBRARY (its path), KQVXI_PREFIX (an install
prefix) or the system's loader path, on first use.
"""

from ._library import LibraryNotFound
from ._version import __version__
from .client import (
    ALL_LEVELS,
    CHANNEL_INDEXES,
    LEVEL_INDEXES,
    MAX_CLIENTS,
    RING_RECORDS,
    SOURCE_INDEXES,
    Client,
    ClientInfo,
    ServerStatus,
    Stats,
    level_bit,
    server_status,
    strerror,
    version,
)
from .errors import (
    ArgumentError,
    Busy,
    Closed,
    Empty,
    Error,
    Full,
    Interrupted,
    NoServer,
    NotRegistered,
    Restarted,
    ServerGone,
    SystemFailure,
    Timeout,
)
from .records import (
    ChannelRecord,
    Class0Record,
    Class1Record,
    Class2Record,
    Class3Record,
    Class4Record,
    Class5Record,
    EventClass,
    LevelRecord,
    Record,
    SourceLevelRecord,
    SourceRecord,
    UnknownRecord,
    UnregisteredRecord,
    decode,
)

__all__ = [
    "__version__",
    "version",
    "strerror",
    "server_status",
    "level_bit",
    "Client",
    "Stats",
    "ServerStatus",
    "ClientInfo",
    "EventClass",
    "Record",
    "Class0Record",
    "Class1Record",
    "Class2Record",
    "Class3Record",
    "Class4Record",
    "Class5Record",
    "SourceRecord",
    "LevelRecord",
    "SourceLevelRecord",
    "ChannelRecord",
    "UnregisteredRecord",
    "UnknownRecord",
    "decode",
    "Error",
    "Timeout",
    "ArgumentError",
    "SystemFailure",
    "Empty",
    "NoServer",
    "NotRegistered",
    "Full",
    "Busy",
    "Interrupted",
    "Restarted",
    "ServerGone",
    "Closed",
    "LibraryNotFound",
    "MAX_CLIENTS",
    "RING_RECORDS",
    "ALL_LEVELS",
    "LEVEL_INDEXES",
    "SOURCE_INDEXES",
    "CHANNEL_INDEXES",
]
