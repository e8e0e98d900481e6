"""Fixtures for the binding's tests: the built library and simulator (paths
from MARVOK_LIBRARY and MARVOK_SIM, set by CTest), simulated instruments on
random loopback addresses, and addresses where nothing listens.

A skipped test counts as a failure here: a run that checked less than it
claims must not come out green."""

import errno
import os
import random
import selectors
import socket
import subprocess
import time

import pytest

PORT = 502
READY_SECONDS = 10
STOP_SECONDS = 5
ADDRESS_TRIES = 50

_not_run = []


def pytest_runtest_logreport(report):
    if report.skipped:
        _not_run.append(report.nodeid)


def pytest_sessionfinish(session, exitstatus):
    if _not_run and session.exitstatus == pytest.ExitCode.OK:
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


def pytest_terminal_summary(terminalreporter):
    if _not_run:
        terminalreporter.write_line(
            "FAILED: tests skipped or not run: " + ", ".join(_not_run), red=True)


def _required_file(variable):
    path = os.environ.get(variable)
    if not path or not os.path.isfile(path):
        pytest.fail(f"{variable} must name the built file (CTest sets it); got {path!r}",
                    pytrace=False)
    return path


@pytest.fixture(scope="session")
def library_path():
    return _required_file("MARVOK_LIBRARY")


@pytest.fixture(scope="session")
def sim_program():
    return _required_file("MARVOK_SIM")


def random_loopback():
    """127.b.c.d with b 1-254, c 0-255, d 1-254, like the C++ tests."""
    return f"127.{random.randint(1, 254)}.{random.randint(0, 255)}.{random.randint(1, 254)}"


def _read_until_ready(process, deadline):
    """The simulator's output up to its 'listening on' line, or everything
    it printed before exiting; None when the deadline passed first."""
    output = b""
    with selectors.DefaultSelector() as selector:
        selector.register(process.stdout, selectors.EVENT_READ)
        while b"listening on" not in output:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not selector.select(remaining):
                return None
            chunk = os.read(process.stdout.fileno(), 4096)
            if not chunk:
                break
            output += chunk
    return output.decode(errors="replace")


def _stop(process):
    process.terminate()
    try:
        process.wait(STOP_SECONDS)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(STOP_SECONDS)
    process.stdout.close()


@pytest.fixture
def instrument(sim_program):
    """start(*sim_args) runs marvok-sim on a fresh loopback address, port
    502, and returns the address once it listens; stopped at teardown."""
    running = []

    def start(*sim_args):
        for _ in range(ADDRESS_TRIES):
            address = random_loopback()
            process = subprocess.Popen(
                [sim_program, "--listen", address, "--port", str(PORT), *sim_args],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            output = _read_until_ready(process, time.monotonic() + READY_SECONDS)
            if output is not None and "listening on" in output:
                running.append(process)
                return address
            _stop(process)
            if output is None:
                pytest.fail(f"marvok-sim did not report listening within {READY_SECONDS} s")
            if "in use" not in output:
                pytest.fail(f"marvok-sim failed to start: {output.strip()}")
        pytest.fail(f"no free loopback address for marvok-sim in {ADDRESS_TRIES} tries")

    yield start
    for process in running:
        _stop(process)


@pytest.fixture
def refusing_address():
    """A loopback address whose port 502 is bound by a socket that never
    listens: connecting there is refused, and no other test can take it."""
    for _ in range(ADDRESS_TRIES):
        address = random_loopback()
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            sock.bind((address, PORT))
        except OSError as e:
            sock.close()
            if e.errno == errno.EADDRINUSE:
                continue
            pytest.fail(f"cannot bind {address}:{PORT} ({e}); port 502 needs root "
                        "or a private network namespace (scripts/test.sh)")
        yield address
        sock.close()
        return
    pytest.fail(f"no free loopback address in {ADDRESS_TRIES} tries")
