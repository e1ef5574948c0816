"""Tango device server for the Vellumotor controller, on the vellumotor package.

Device classes: :class:`VellumotorController` (one per controller) and :class:`VellumotorAxis`
(one per drive channel). Program: ``vellumotor-tango`` (:func:`vellumotor_tango.server.main`).
"""

from .axis_device import VellumotorAxis
from .controller_device import VellumotorController

__all__ = ["VellumotorController", "VellumotorAxis"]
