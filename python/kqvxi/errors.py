"""Exceptions: one class per status of the client library, all under Error."""

from __future__ import annotations

from typing import Dict, Type


class Error(Exception):
    """A call of the kqvxi client library failed.

    ``status`` is the library's negative KQVXI_E_* value and ``strerror`` its
    text for it (kqvxi_strerror).
    """

    status: int = 0

    def __init__(self, status: int, strerror: str, call: str = "") -> None:
        self.status = status
        self.strerror = strerror
        self.call = call
        where = f"{call}: " if call else ""
        super().__init__(f"{where}{strerror} (status {status})")


class Timeout(Error):
    """No reply from the server in time, or the ring's lock was not handed over."""


class ArgumentError(Error, ValueError):
    """An argument out of range (a class, index, level mask or channel)."""


class SystemFailure(Error):
    """A shared object of the system could not be created, opened or mapped."""


class Empty(Error):
    """Nothing to take (not returned by the handle API)."""


class NoServer(Error):
    """No server runs for the controller, or it did not answer."""


class NotRegistered(Error):
    """The handle holds no slot with the current server."""


class Full(Error):
    """The server serves its 50 clients already."""


class Busy(Error):
    """This process already has an open client (one per process)."""


class Interrupted(Error):
    """A wait was ended by Client.interrupt() or a signal."""


class Restarted(Error):
    """The server restarted and the client registered again; records in between were lost."""


class ServerGone(Error):
    """The server ended; nothing more will arrive on this client."""


class Closed(Error):
    """The client was closed."""


STATUS_CLASSES: Dict[int, Type[Error]] = {
    -1: Timeout,
    -2: ArgumentError,
    -3: SystemFailure,
    -4: Empty,
    -5: NoServer,
    -6: NotRegistered,
    -7: Full,
    -8: Busy,
    -9: Interrupted,
    -10: Restarted,
    -11: ServerGone,
    -12: Closed,
}


def error_for(status: int, strerror: str, call: str = "") -> Error:
    """The exception for a status: its own class, or Error for one not known here."""
    return STATUS_CLASSES.get(status, Error)(status, strerror, call)
