"""Argument checks run before every call into the library: ctypes would
otherwise cut an int to its C width, take a str for a byte payload, or stop a
text at a NUL, and the call would go out changed. Each check raises TypeError
or ValueError naming the argument."""

import os
import socket
from typing import Optional, Union

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Payload = Union[bytes, bytearray, memoryview]

U32_MAX = 0xFFFFFFFF
# The largest payload a set sends (qnvnet.h).
MAX_PAYLOAD = 4076
# User names and passwords travel in 16-byte fields.
MAX_CREDENTIAL = 16


def integer(name: str, value: object, low: int = 0, high: int = U32_MAX) -> int:
    """value as an int in low..high (bool is refused: it is no number here)."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__))
    if not low <= value <= high:
        raise ValueError("%s must be in %d..%d, not %d" % (name, low, high, value))
    return value


def number(name: str, value: object, low: float, high: float) -> float:
    """value (int or float, not bool) in low..high."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError("%s must be a number, not %s" % (name, type(value).__name__))
    if not low <= value <= high:  # also refuses NaN
        raise ValueError("%s must be in %g..%g, not %r" % (name, low, high, value))
    return float(value)


def optional_number(name: str, value: object, low: float, high: float) -> Optional[float]:
    """None, or number(...)."""
    return None if value is None else number(name, value, low, high)


def payload(name: str, value: object) -> bytes:
    """A byte payload (bytes, bytearray or memoryview) of at most MAX_PAYLOAD bytes."""
    if not isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError("%s must be bytes, bytearray or memoryview, not %s"
                        % (name, type(value).__name__))
    data = bytes(value)
    if len(data) > MAX_PAYLOAD:
        raise ValueError("%s holds %d bytes; at most %d are sent" % (name, len(data), MAX_PAYLOAD))
    return data


def text(name: str, value: object, max_bytes: Optional[int] = None) -> bytes:
    """A str without NUL, as UTF-8 (at most max_bytes of it)."""
    if not isinstance(value, str):
        raise TypeError("%s must be a str, not %s" % (name, type(value).__name__))
    if "\x00" in value:
        raise ValueError("%s contains a NUL character" % name)
    encoded = value.encode()
    if max_bytes is not None and len(encoded) > max_bytes:
        raise ValueError("%s is %d bytes in UTF-8; at most %d are sent"
                         % (name, len(encoded), max_bytes))
    return encoded


def path(name: str, value: object) -> bytes:
    """A file system path (str, bytes or os.PathLike) without NUL."""
    if not isinstance(value, (str, bytes, os.PathLike)):
        raise TypeError("%s must be a path (str, bytes or os.PathLike), not %s"
                        % (name, type(value).__name__))
    encoded = os.fsencode(value)
    if b"\x00" in encoded:
        raise ValueError("%s contains a NUL character" % name)
    if not encoded:
        raise ValueError("%s is empty" % name)
    return encoded


def host_address(name: str, value: object) -> str:
    """The dotted IPv4 address of a host name or address, resolved as qnvctl
    does (the first IPv4 address the resolver gives). OSError (socket.gaierror)
    when it cannot be resolved."""
    text(name, value)
    assert isinstance(value, str)
    if not value:
        raise ValueError("%s is empty" % name)
    found = socket.getaddrinfo(value, None, socket.AF_INET, socket.SOCK_STREAM)
    address = found[0][4][0]
    assert isinstance(address, str)
    return address
