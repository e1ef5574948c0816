"""The exceptions of the vellumotor package.

Every failure is raised, never returned as a flag:

- :class:`LinkError`: the link delivered no reply (controller unreachable, cable pulled,
  simulator silent) or the controller object is closed.
- :class:`ControllerError`: the controller answered, but not with the acknowledgement the
  operation needs ("MNF" for an empty slot, "CNR" for a line it cannot read, ...). Carries the
  command line and the reply.
- :class:`Timeout`: a move did not end in time; the module was stopped before it was raised.

Bad arguments (a channel 4, a frequency of 70000) raise the built-in :class:`ValueError`.
"""

from __future__ import annotations

from typing import Optional

__all__ = ["Error", "LinkError", "ControllerError", "Timeout"]


class Error(Exception):
    """Base class of every vellumotor error."""


class LinkError(Error):
    """The link delivered no reply, or the controller object is closed."""


class ControllerError(Error):
    """The controller refused or answered unexpectedly.

    ``command`` is the line sent (without its carriage return) and ``reply`` what came back.
    """

    def __init__(self, message: str, command: str = "", reply: str = "") -> None:
        super().__init__(message)
        self.command = command
        self.reply = reply


class Timeout(Error, TimeoutError):
    """A move did not end within its timeout. The module has been stopped.

    ``counter`` is the encoder count read after the stop (None without an encoder module).
    """

    def __init__(self, message: str, counter: Optional[int] = None) -> None:
        super().__init__(message)
        self.counter = counter
