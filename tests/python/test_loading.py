"""Where the package finds the library, and how it loads it. Each scenario
runs in a fresh interpreter, because the system's library search reads
LD_LIBRARY_PATH only when a process starts."""

import ctypes
import ctypes.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import marvok

PACKAGE = Path(marvok.__file__).parent
NAME = "libmarvok.so"

PROBE = """
import sys, marvok
try:
    m = marvok.Marvok(*sys.argv[1:])
except marvok.LibraryError as e:
    print("LibraryError:", e)
else:
    print(m.path, m.revision())
"""

SCENARIOS = [
    # (copies of the library, MARVOK_LIBRARY, explicit path, loaded): what each proves
    (["a", "b"], "b", "a", "a"),                 # an explicit path beats the environment
    (["b", "pkg"], "b", None, "b"),              # the environment beats the package folder
    (["pkg", "above", "sys"], None, None, "pkg"),  # the package's own folder comes first
    (["above", "sys"], None, None, "above"),     # then the folder that holds the package
    (["sys"], None, None, NAME),                 # the system's search (LD_LIBRARY_PATH) last
    (["pkg"], "missing", None, None),            # a named file that is missing is an error,
    (["pkg"], None, "missing", None),            # never replaced by another library
]


def probe(tmp_path, library_path, copies, environment, explicit):
    site = tmp_path / "site"
    shutil.copytree(PACKAGE, site / "marvok", ignore=shutil.ignore_patterns("__pycache__"))
    places = {"a": tmp_path / "a" / NAME, "b": tmp_path / "b" / NAME,
              "pkg": site / "marvok" / NAME, "above": site / NAME,
              "sys": tmp_path / "sys" / NAME, "missing": tmp_path / "missing" / NAME}
    for copy in copies:
        places[copy].parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(library_path, places[copy])

    env = {k: v for k, v in os.environ.items()
           if k not in ("MARVOK_LIBRARY", "LD_LIBRARY_PATH", "PYTHONPATH")}
    env.update(PYTHONPATH=str(site), LD_LIBRARY_PATH=str(places["sys"].parent),
               PYTHONDONTWRITEBYTECODE="1")
    if environment:
        env["MARVOK_LIBRARY"] = str(places[environment])
    args = [str(places[explicit])] if explicit else []
    run = subprocess.run([sys.executable, "-c", PROBE, *args], env=env, cwd=tmp_path,
                         capture_output=True, text=True, timeout=30)
    assert run.returncode == 0, run.stderr
    out = run.stdout.strip()
    # Name the copies by their keys, so the expectations read as a table.
    for key, place in places.items():
        out = out.replace(str(place), key)
    return out


@pytest.mark.parametrize("copies, environment, explicit, loaded", SCENARIOS)
def test_library_lookup_order(tmp_path, library_path, copies, environment, explicit, loaded):
    out = probe(tmp_path, library_path, copies, environment, explicit)
    if loaded:
        assert out == f"{loaded} 103.0"
    else:
        assert out.startswith("LibraryError: cannot load")
        assert "tried missing (" in out and "pkg" not in out


def test_another_library_is_refused_at_load():
    # A wrong file fails when it is loaded, with a reason, not at the first
    # measurement.
    other = ctypes.util.find_library("m")
    assert other, "the C maths library is on every Linux system"
    with pytest.raises(marvok.LibraryError, match="not the Marvok library"):
        marvok.Marvok(other)


@pytest.mark.parametrize("platform, pointer_size, loader, file_name", [
    ("win32", 4, "WinDLL", "Marvok.dll"),   # 32-bit Windows: __stdcall, so WinDLL
    ("win32", 8, "CDLL", "Marvok.dll"),     # 64-bit Windows has one convention
    ("linux", 8, "CDLL", "libmarvok.so"),
])
def test_loader_matches_the_calling_convention(monkeypatch, platform, pointer_size, loader,
                                               file_name):
    monkeypatch.setattr(sys, "platform", platform)
    monkeypatch.setattr(ctypes, "sizeof", lambda _: pointer_size)
    monkeypatch.setattr(ctypes, "WinDLL", "WinDLL", raising=False)
    monkeypatch.setattr(ctypes, "CDLL", "CDLL")
    assert marvok._loader() == loader
    assert marvok.library_file_name() == file_name
