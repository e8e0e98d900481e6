"""Simulated instruments and refusing addresses on loopback, for tests
written in Python. Each lives on an address of its own in 127.0.0.0/8, port
502, so tests run in parallel; every wait is bounded."""

import contextlib
import errno
import os
import random
import selectors
import socket
import subprocess
import time

PORT = 502
READY_SECONDS = 10
STOP_SECONDS = 5
ADDRESS_TRIES = 50


def random_loopback():
    """127.b.c.d with b 1-254, c 0-255, d 1-254, like the C++ tests."""
    return f"127.{random.randint(1, 254)}.{random.randint(0, 255)}.{random.randint(1, 254)}"


def parts(address):
    return tuple(int(part) for part in address.split("."))


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


@contextlib.contextmanager
def simulator(program, *sim_args):
    """Runs marvok-sim on a fresh loopback address, port 502, and yields the
    address once it listens; another address is tried when one is taken."""
    for _ in range(ADDRESS_TRIES):
        address = random_loopback()
        process = subprocess.Popen(
            [program, "--listen", address, "--port", str(PORT), *sim_args],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        output = _read_until_ready(process, time.monotonic() + READY_SECONDS)
        if output is not None and "listening on" in output:
            try:
                yield address
            finally:
                _stop(process)
            return
        _stop(process)
        if output is None:
            raise RuntimeError(f"marvok-sim did not report listening within {READY_SECONDS} s")
        if "in use" not in output:
            raise RuntimeError(f"marvok-sim failed to start: {output.strip()}")
    raise RuntimeError(f"no free loopback address for marvok-sim in {ADDRESS_TRIES} tries")


@contextlib.contextmanager
def refusing_address():
    """Yields a loopback address whose port 502 is bound by a socket that
    never listens: connecting there is refused, and no other test takes it."""
    for _ in range(ADDRESS_TRIES):
        address = random_loopback()
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
            try:
                sock.bind((address, PORT))
            except OSError as e:
                if e.errno == errno.EADDRINUSE:
                    continue
                raise RuntimeError(f"cannot bind {address}:{PORT} ({e}); port 502 needs root "
                                   "or a private network namespace (scripts/test.sh)") from None
            yield address
            return
    raise RuntimeError(f"no free loopback address in {ADDRESS_TRIES} tries")
