"""Tango device server for the Vellumotor controller, on the vellumotor package.

Device classes: :class:`VellumotorController` (one per controller), :class:`VellumotorAxis` (one
per drive channel), :class:`VellumotorSensor` (one per channel of a sensor module) and
:class:`VellumotorClosedLoop` (one per controller). Program: ``vellumotor-tango``
(:func:`vellumotor_tango.server.main`).
"""

from .axis_device import VellumotorAxis
from .closed_loop_device import VellumotorClosedLoop
from .controller_device import VellumotorController
from .sensor_device import VellumotorSensor

__all__ = ["VellumotorController", "VellumotorAxis", "VellumotorSensor", "VellumotorClosedLoop"]
