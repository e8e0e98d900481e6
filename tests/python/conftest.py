"""Fixtures for the binding's tests: the built library and simulator (paths
from MARVOK_LIBRARY and MARVOK_SIM, set by CTest), simulated instruments on
random loopback addresses, and addresses where nothing listens.

A skipped test counts as a failure here: a run that checked less than it
claims must not come out green."""

import contextlib
import os

import pytest

import loopback

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


@pytest.fixture
def instrument(sim_program):
    """start(*sim_args) runs marvok-sim on a fresh loopback address and
    returns the address once it listens; stopped at teardown."""
    with contextlib.ExitStack() as running:
        yield lambda *sim_args: running.enter_context(loopback.simulator(sim_program, *sim_args))


@pytest.fixture
def refusing_address():
    with loopback.refusing_address() as address:
        yield address
