"""Channels and tools beside the qel_modbus masters.

``ModbusTCPChannel`` is a channel that a ``qel_modbus.Master`` or
``FixMaster`` is built on to talk to a Modbus TCP device or gateway: the
master's RTU requests go out as Modbus TCP, and the replies come back to the
master as RTU answers.

The classes are built into the qel_modbus library and run on its engine and
its per-channel locks; importing this package loads qel_modbus, whose own
set of names stays as it is.

``trace(channel)`` wraps a channel to log every request and answer through
``logging``; ``with_retries(master)`` wraps a master to repeat its reads
after a time-out or a CRC error, never its writes.
"""
from _qel_modbus_ext import ModbusTCPChannel

from ._retries import RetryingMaster, with_retries
from ._trace import TracedChannel, trace

__all__ = ["ModbusTCPChannel"]
__all__ += ["trace", "TracedChannel", "with_retries", "RetryingMaster"]
