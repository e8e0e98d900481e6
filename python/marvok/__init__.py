"""Marvok from Python: read the FPM and F measurements of an instrument.

Loads libmarvok.so (Linux) or Marvok.dll (Windows) with ctypes and offers

* ``Marvok``, the helper: ``read_fpm(address, delay)`` and ``read_f(...)``
  check their arguments, raise ``NoConnection`` or ``NoReply`` (both
  ``MarvokError``) instead of returning the library's sentinels, and hold one
  process-wide lock, so that threads take turns;
* ``Marvok.raw`` (or ``load_library()``), the library's three functions as
  declared ctypes functions, returning the sentinels 99999.0 and 99998.0 as
  numbers, as every other host sees them.

Every measurement call blocks its thread: at least 100 ms on success (more
with a larger delay), up to about 8 s when the instrument does not answer.
The library keeps one connection state for the whole process, so its calls
must never overlap; the helper guarantees that, the raw functions do not.

    import marvok
    m = marvok.Marvok()                         # finds the library
    fpm = m.read_fpm("192.168.1.20", delay=250)
    f = m.read_f((192, 168, 1, 20))
"""

import ctypes
import ipaddress
import os
import sys
import threading
from pathlib import Path

__all__ = [
    "Marvok", "MarvokError", "NoConnection", "NoReply", "LibraryError",
    "load_library", "library_file_name",
    "NO_CONNECTION", "NO_REPLY", "LIBRARY_ENVIRONMENT",
]

NO_CONNECTION = 99999.0
NO_REPLY = 99998.0
LIBRARY_ENVIRONMENT = "MARVOK_LIBRARY"
MAX_DELAY_MS = 32767

_MEASUREMENTS = {"FPM": "MARVOK_MODBUS_READ_FPM", "F": "MARVOK_MODBUS_READ_F"}
_REVISION = "MARVOK_MODBUS_READ_DLL_SOFTWARE_REVISION"

# One lock for the process, not one per object: every handle to the library
# shares its single connection state.
_call_lock = threading.Lock()


class MarvokError(Exception):
    """The instrument could not be read. ``address`` is the dotted address,
    ``measurement`` "FPM" or "F"."""

    def __init__(self, message, address, measurement):
        super().__init__(message)
        self.address = address
        self.measurement = measurement


class NoConnection(MarvokError):
    """Both connection attempts failed (the library returned 99999.0)."""


class NoReply(MarvokError):
    """Connected, but no valid reply to either request (99998.0)."""


class LibraryError(OSError):
    """The library could not be found or loaded, or lacks a function."""


def library_file_name():
    """The file name hosts load the library by on this platform."""
    return "Marvok.dll" if sys.platform == "win32" else "libmarvok.so"


def _loader():
    # 32-bit Windows exports __stdcall functions: calling them through CDLL
    # would leave the arguments on the stack and corrupt the caller's frame.
    if sys.platform == "win32" and ctypes.sizeof(ctypes.c_void_p) == 4:
        return ctypes.WinDLL
    return ctypes.CDLL


def _candidates(path):
    """Where to look, in order, as (file, how it was chosen). An explicit
    path or the environment variable is the only candidate when given: a
    file the caller named must not be replaced by another one quietly."""
    if path is not None:
        return [(os.fspath(path), "the path given")]
    from_environment = os.environ.get(LIBRARY_ENVIRONMENT)
    if from_environment:
        return [(from_environment, LIBRARY_ENVIRONMENT)]
    name = library_file_name()
    package = Path(__file__).resolve().parent
    found = [(str(folder / name), "next to the package")
             for folder in (package, package.parent) if (folder / name).is_file()]
    return found + [(_system_name(name), "the system's search")]


def _system_name(name):
    if sys.platform == "win32":
        # Python 3.8 and later leave PATH out of the DLL search for a bare
        # name; find_library still looks there, as users expect.
        import ctypes.util
        return ctypes.util.find_library(name) or name
    return name


def _declare(library):
    try:
        getattr(library, _REVISION).argtypes = []
        getattr(library, _REVISION).restype = ctypes.c_double
        for name in _MEASUREMENTS.values():
            function = getattr(library, name)
            function.argtypes = [ctypes.c_short] * 5
            function.restype = ctypes.c_double
    except AttributeError as e:
        raise LibraryError(f"{library._name} is not the Marvok library: {e}") from None
    return library


def load_library(path=None):
    """The library with its three functions declared (argtypes five
    ``c_short``, restype ``c_double``): the raw calls.

    Looks at ``path`` if given, else at the file named by the environment
    variable MARVOK_LIBRARY, else next to this package (in its folder or the
    one above), else lets the system search for libmarvok.so / Marvok.dll.
    Raises ``LibraryError`` when nothing loads."""
    tried = []
    for candidate, how in _candidates(path):
        try:
            return _declare(_loader()(candidate))
        except OSError as e:
            if isinstance(e, LibraryError):
                raise
            tried.append(f"{candidate} ({how}): {e}")
    raise LibraryError("cannot load the Marvok library; tried " + "; ".join(tried))


def _address(address):
    """Four ints 0-255 from "a.b.c.d", an IPv4Address or a sequence of four."""
    if isinstance(address, str):
        try:
            address = ipaddress.IPv4Address(address)
        except ValueError as e:
            raise ValueError(f"not an IPv4 address a.b.c.d: {e}") from None
    if isinstance(address, ipaddress.IPv4Address):
        return tuple(address.packed)
    if isinstance(address, (bytes, bytearray)) or not hasattr(address, "__len__"):
        raise TypeError(f"address must be 'a.b.c.d' or four integers, not {address!r}")
    parts = tuple(address)
    if len(parts) != 4:
        raise ValueError(f"address must have four parts, not {len(parts)}: {address!r}")
    for part in parts:
        if not isinstance(part, int) or isinstance(part, bool):
            raise TypeError(f"address parts must be integers, not {part!r}")
        if not 0 <= part <= 255:
            raise ValueError(f"address part {part} is outside 0 to 255")
    return parts


def _delay(delay):
    if not isinstance(delay, int) or isinstance(delay, bool):
        raise TypeError(f"delay must be an integer number of milliseconds, not {delay!r}")
    if not 0 <= delay <= MAX_DELAY_MS:
        raise ValueError(f"delay {delay} is outside 0 to {MAX_DELAY_MS} ms")
    return delay


class Marvok:
    """The library, called safely. ``library`` is a path or None (see
    ``load_library``). ``raw`` is the loaded library, ``path`` the file it
    was loaded from (a bare name when the system found it)."""

    def __init__(self, library=None):
        self.raw = load_library(library)
        self.path = self.raw._name

    def revision(self):
        """The library's revision, 103.0; touches no network."""
        return getattr(self.raw, _REVISION)()

    def read_fpm(self, address, delay=0):
        """The FPM measurement (input registers 0 and 1) of the instrument at
        ``address``. See ``read``."""
        return self._read("FPM", address, delay)

    def read_f(self, address, delay=0):
        """The F measurement (input registers 4 and 5). See ``read``."""
        return self._read("F", address, delay)

    def read(self, address, delay=0):
        """Both measurements, (FPM, F), one call each.

        ``address`` is "a.b.c.d", an ``ipaddress.IPv4Address`` or four
        integers 0-255; ``delay`` is 0-32767 ms: a successful call spends at
        least the larger of ``delay`` and 100 ms after the reply. Raises
        ValueError or TypeError for a bad argument before anything is sent,
        ``NoConnection`` or ``NoReply`` when the instrument cannot be read.
        Blocks; calls from several threads take turns."""
        return self.read_fpm(address, delay), self.read_f(address, delay)

    def _read(self, measurement, address, delay):
        parts = _address(address)
        delay = _delay(delay)
        function = getattr(self.raw, _MEASUREMENTS[measurement])
        with _call_lock:
            value = function(*parts, delay)
        dotted = ".".join(map(str, parts))
        if value == NO_CONNECTION:
            raise NoConnection(f"no connection to {dotted}:502 ({measurement})",
                               dotted, measurement)
        if value == NO_REPLY:
            raise NoReply(f"no reply from {dotted}:502 ({measurement})", dotted, measurement)
        return value
