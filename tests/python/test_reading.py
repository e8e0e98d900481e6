"""The helper and the raw calls against the simulated instrument: values,
sentinels, argument checks, pacing and threads."""

import ctypes
import ipaddress
import math
import struct
import threading
import time

import pytest

import marvok
from loopback import parts


def single(x):
    """x as the instrument holds it: rounded to an IEEE-754 single."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


@pytest.fixture
def library(library_path):
    return marvok.Marvok(library_path)


VALUES = [
    # (fpm, f): what each pair proves
    ("350.0", "50.0"),          # the simulator's defaults, FPM and F not swapped
    ("12.5", "-0.25"),          # sign and fraction survive the word order
    ("0.1", "1e-3"),            # single precision widened to double, not re-rounded
    ("3.4e38", "-3.4e38"),      # near the single's range, no overflow
    ("0", "-0"),                # signed zero
]


@pytest.mark.parametrize("fpm, f", VALUES)
def test_values_through_helper_and_raw(library, instrument, fpm, f):
    address = instrument("--fpm", fpm, "--f", f)
    numbers = parts(address)
    assert library.read_fpm(address) == single(float(fpm))
    assert library.read_f(numbers) == single(float(f))
    # The raw call gives the same bits, the sign of zero included.
    raw = library.raw.MARVOK_MODBUS_READ_F(*numbers, 0)
    assert struct.pack("<d", raw) == struct.pack("<d", single(float(f)))


def test_read_returns_fpm_then_f(library, instrument):
    address = instrument("--fpm", "1.5", "--f", "2.5")
    assert library.read(ipaddress.IPv4Address(address)) == (1.5, 2.5)


@pytest.mark.parametrize("text, check", [
    ("nan", math.isnan),                     # NaN is passed through, not a sentinel
    ("inf", lambda v: v == math.inf),        # so are infinities
    ("-inf", lambda v: v == -math.inf),
])
def test_non_finite_values_are_measurements(library, instrument, text, check):
    address = instrument("--fpm", text)
    assert check(library.read_fpm(address))


def test_revision(library):
    assert library.revision() == 103.0
    assert library.raw.MARVOK_MODBUS_READ_DLL_SOFTWARE_REVISION() == 103.0


def test_no_connection(library, refusing_address):
    numbers = parts(refusing_address)
    for name in ("MARVOK_MODBUS_READ_FPM", "MARVOK_MODBUS_READ_F"):
        assert getattr(library.raw, name)(*numbers, 0) == marvok.NO_CONNECTION
    for read, measurement in ((library.read_fpm, "FPM"), (library.read_f, "F")):
        with pytest.raises(marvok.NoConnection) as caught:
            read(refusing_address)
        assert isinstance(caught.value, marvok.MarvokError)
        assert (caught.value.address, caught.value.measurement) == (refusing_address, measurement)
        assert refusing_address in str(caught.value)


def test_no_reply(library, instrument):
    address = instrument("--fault", "exception")
    numbers = parts(address)
    assert library.raw.MARVOK_MODBUS_READ_FPM(*numbers, 0) == marvok.NO_REPLY
    with pytest.raises(marvok.NoReply) as caught:
        library.read_f(address)
    assert isinstance(caught.value, marvok.MarvokError)
    assert not isinstance(caught.value, marvok.NoConnection)
    assert caught.value.measurement == "F"


def test_retry_is_the_library_s_not_an_error(library, instrument):
    address = instrument("--fpm", "7.0", "--fault", "first-exception")
    assert library.read_fpm(address) == 7.0


def test_delay_reaches_the_library(library, instrument):
    address = instrument()
    start = time.monotonic()
    library.read_fpm(address, delay=450)
    assert time.monotonic() - start >= 0.44


def test_threads_take_turns(library, instrument):
    # Late replies keep each call inside the library long enough that
    # overlapping calls would trample its single connection state.
    address = instrument("--fpm", "11.0", "--f", "22.0", "--fault", "late:60")
    results, errors = [], []

    def worker(n):
        try:
            for _ in range(2):
                if n % 2:
                    results.append(("FPM", library.read_fpm(address)))
                else:
                    results.append(("F", library.read_f(address)))
        except marvok.MarvokError as e:
            errors.append(e)

    # Daemon threads, so that calls stuck in an overlap cannot hold the run.
    threads = [threading.Thread(target=worker, args=(n,), daemon=True) for n in range(4)]
    for t in threads:
        t.start()
    deadline = time.monotonic() + 20
    for t in threads:
        t.join(max(0, deadline - time.monotonic()))
    assert not any(t.is_alive() for t in threads), "calls overlapped and hung"
    assert errors == []
    assert sorted(results) == [("F", 22.0)] * 4 + [("FPM", 11.0)] * 4


def test_raw_functions_are_declared(library):
    # Five 16-bit arguments, a double back: ctypes refuses a wrong count
    # instead of passing garbage to the library.
    with pytest.raises(TypeError):
        library.raw.MARVOK_MODBUS_READ_F(127, 0, 0, 1)
    with pytest.raises(ctypes.ArgumentError):
        library.raw.MARVOK_MODBUS_READ_FPM(127, 0, 0, 1, "100")
    assert isinstance(library.raw.MARVOK_MODBUS_READ_DLL_SOFTWARE_REVISION(), float)


class RecordingRaw:
    """Stands in for the library: records calls, answers 1.0."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        return lambda *args: self.calls.append((name, args)) or 1.0


GOOD_ARGUMENTS = [
    # (address, delay, parts passed on): what each proves
    ("10.0.0.1", 0, (10, 0, 0, 1, 0)),                     # dotted text, most significant first
    ((255, 255, 255, 255), 32767, (255, 255, 255, 255, 32767)),  # upper bounds are valid
    ([0, 0, 0, 0], 100, (0, 0, 0, 0, 100)),                # any sequence of four
    (ipaddress.IPv4Address("192.168.1.20"), 250, (192, 168, 1, 20, 250)),
]


@pytest.mark.parametrize("address, delay, passed", GOOD_ARGUMENTS)
def test_arguments_reach_the_library(library, monkeypatch, address, delay, passed):
    raw = RecordingRaw()
    monkeypatch.setattr(library, "raw", raw)
    assert library.read_fpm(address, delay) == 1.0
    assert raw.calls == [("MARVOK_MODBUS_READ_FPM", passed)]


BAD_ARGUMENTS = [
    # (address, delay, exception): what each proves
    ("256.0.0.1", 0, ValueError),           # a part above 255 in text
    ("1.2.3", 0, ValueError),               # too few parts
    ("1.2.3.4.5", 0, ValueError),           # too many parts
    ("01.2.3.4", 0, ValueError),            # leading zero: octal to some parsers, refused
    (" 1.2.3.4", 0, ValueError),            # no stray whitespace
    ("example.org", 0, ValueError),         # no name lookup
    ((1, 2, 3), 0, ValueError),             # three integers
    ((1, 2, 3, 256), 0, ValueError),        # a part above 255, not left to the library
    ((1, 2, 3, -1), 0, ValueError),         # negative part
    ((1, 2, 3, 65537), 0, ValueError),      # would wrap to 1 in a c_short
    ((1, 2, 3, 4.0), 0, TypeError),         # floats are not parts
    ((1, 2, 3, True), 0, TypeError),        # nor are booleans
    ((1, 2, 3, "4"), 0, TypeError),         # nor text
    (b"\x01\x02\x03\x04", 0, TypeError),    # nor bytes
    (3232235796, 0, TypeError),             # nor one integer
    ("1.2.3.4", -1, ValueError),            # negative delay
    ("1.2.3.4", 32768, ValueError),         # delay beyond a signed 16-bit value
    ("1.2.3.4", 100.0, TypeError),          # delay as float
    ("1.2.3.4", "100", TypeError),          # delay as text
    ("1.2.3.4", None, TypeError),           # no delay
]


@pytest.mark.parametrize("address, delay, error", BAD_ARGUMENTS)
def test_bad_arguments_refused_before_the_call(library, monkeypatch, address, delay, error):
    raw = RecordingRaw()
    monkeypatch.setattr(library, "raw", raw)
    with pytest.raises(error):
        library.read_f(address, delay)
    assert raw.calls == []
