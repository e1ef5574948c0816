"""The exchange log: every line sent and its reply, at DEBUG on the logger ``vellumotor``."""

from __future__ import annotations

import logging

from . import _core

logger = logging.getLogger("vellumotor")
_DEBUG = logging.DEBUG
_take = _core.Device.take_log


def emit() -> None:
    """Log the exchanges of this thread's latest device call (the C++ side notes them)."""
    if not logger.isEnabledFor(_DEBUG):
        return
    for line, reply, result, us in _take():
        if result == 0:
            logger.debug("%s -> %s (%.3f ms)", line, reply, us / 1000.0)
        else:
            logger.debug("%s -> no reply, link result %d (%.3f ms)", line, result, us / 1000.0)


def call(function, *args):
    """Run one device call and log its exchanges, also when it raised."""
    try:
        return function(*args)
    finally:
        emit()
