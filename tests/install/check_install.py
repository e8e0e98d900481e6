"""What an installed or packaged Marvok holds, and that hosts build and run
against it.

  check_install.py tree --build DIR --work DIR --generator G --cc CC [--cflags F]
      cmake --install into a fresh prefix; builds tests/install (find_package)
      and the C example against it; runs them and the installed tools
      against a simulated instrument and a refusing address
  check_install.py deb --build DIR --work DIR --version V
      cpack -G DEB; the package's files and fields
  check_install.py zip --config FILE --work DIR --version V
      the Windows zip (CPackConfig-windows.cmake): both DLLs, each of its own
      machine type, in folders of their own, with the header and the tools

--cmake and --cpack name the programs to use (default: from PATH).

Every step is bounded in time; the first failure ends the run (exit 1)."""

import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))
import loopback  # noqa: E402

HERE = Path(__file__).resolve().parent
STEP_SECONDS = 120


class Failure(Exception):
    pass


def run(argv, env=None, expect_exit=0, timeout=STEP_SECONDS):
    """Runs argv; its stdout when it exits with expect_exit."""
    try:
        done = subprocess.run([str(a) for a in argv], env=env, capture_output=True,
                              text=True, timeout=timeout, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        raise Failure(f"{argv[0]} did not finish within {timeout} s") from None
    if done.returncode != expect_exit:
        raise Failure(f"{' '.join(map(str, argv))}: exit {done.returncode}, expected "
                      f"{expect_exit}\n{done.stdout}{done.stderr}")
    return done.stdout


def expect(condition, message):
    if not condition:
        raise Failure(message)


def fresh(directory):
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True)
    return directory


INSTALLED = [
    "lib/libmarvok.so",
    "include/marvok.h",
    "bin/marvok-sim",
    "bin/marvok-read",
    "lib/cmake/marvok/marvok-config.cmake",
    "lib/cmake/marvok/marvok-config-version.cmake",
    "lib/cmake/marvok/marvok-targets.cmake",
    "share/doc/marvok/examples/c/read.c",
    "share/doc/marvok/examples/vba/Marvok.bas",
]


def check_tree(args):
    work = fresh(Path(args.work))
    prefix = work / "prefix"
    run([args.cmake, "--install", args.build, "--prefix", prefix])
    missing = [p for p in INSTALLED if not (prefix / p).is_file()]
    expect(not missing, f"not installed: {', '.join(missing)}")

    host_build = work / "host"
    run([args.cmake, "-S", HERE, "-B", host_build, "-G", args.generator,
         f"-DCMAKE_C_COMPILER={args.cc}", f"-DCMAKE_C_FLAGS={args.cflags}",
         f"-DCMAKE_EXE_LINKER_FLAGS={args.cflags}", f"-DCMAKE_PREFIX_PATH={prefix}",
         f"-DMARVOK_EXPECTED_DIR={prefix / 'lib/cmake/marvok'}",
         f"-DMARVOK_EXAMPLES={prefix / 'share/doc/marvok/examples'}"])
    run([args.cmake, "--build", host_build])
    host, read = host_build / "host", host_build / "read"
    library = prefix / "lib/libmarvok.so"

    # The installed tool finds the installed library by the system's search.
    env = dict(os.environ, LD_LIBRARY_PATH=str(prefix / "lib"))
    expect(run([prefix / "bin/marvok-read", "--revision"], env=env).split() == ["103"],
           "installed marvok-read --revision did not print 103")

    with loopback.simulator(prefix / "bin/marvok-sim", "--fpm", "12.5", "--f", "-0.25") as address:
        out = run([host, *loopback.parts(address)])
        expect(out.split("\n") == ["revision 103", "fpm 12.5", "f -0.25", ""],
               f"linked host against the simulator printed:\n{out}")
        out = run([read, address, "0", library])
        expect(out == "FPM 12.5\nF -0.25\n", f"C example against the simulator printed:\n{out}")

    with loopback.refusing_address() as address:
        out = run([host, *loopback.parts(address)])
        expect(out.split("\n") == ["revision 103", "fpm 99999", "f 99999", ""],
               f"linked host against a refusing address printed:\n{out}")
        run([read, address, "0", library], expect_exit=3)


DEB_FILES = [
    "./usr/lib/libmarvok.so",
    "./usr/include/marvok.h",
    "./usr/bin/marvok-sim",
    "./usr/bin/marvok-read",
    "./usr/lib/cmake/marvok/marvok-config.cmake",
    "./usr/lib/cmake/marvok/marvok-config-version.cmake",
    "./usr/lib/cmake/marvok/marvok-targets.cmake",
]


def check_deb(args):
    work = fresh(Path(args.work))
    run([args.cpack, "-G", "DEB", "--config", Path(args.build) / "CPackConfig.cmake", "-B", work])
    debs = list(work.glob("*.deb"))
    expect(len(debs) == 1, f"expected one .deb in {work}, found {debs}")
    deb = debs[0]
    listed = {line.split()[-1] for line in run(["dpkg-deb", "-c", deb]).splitlines()
              if line.split() and line.split()[-1].startswith("./")}
    missing = [f for f in DEB_FILES if f not in listed]
    expect(not missing, f"{deb.name} lacks {', '.join(missing)}")
    strays = [f for f in listed if "test" in f or "bench" in f]
    expect(not strays, f"{deb.name} holds test programs: {', '.join(strays)}")

    def field(name):
        return run(["dpkg-deb", "-f", deb, name]).strip()

    expect(field("Package") == "marvok", f"Package: {field('Package')}")
    expect(field("Version") == args.version, f"Version: {field('Version')}")
    # Found by dpkg-shlibdeps from what the programs link: at least the C
    # library and, for the C++ programs, libstdc++.
    depends = field("Depends")
    expect("libc6" in depends and "libstdc++6" in depends, f"Depends: {depends!r}")


PE_MACHINES = {"x86_64": 0x8664, "i686": 0x14C}


def pe_machine(data):
    """The machine field of a PE image's COFF header."""
    expect(data[:2] == b"MZ", "not a PE image")
    offset = struct.unpack_from("<I", data, 0x3C)[0]
    expect(data[offset:offset + 4] == b"PE\0\0", "no PE signature")
    return struct.unpack_from("<H", data, offset + 4)[0]


def windows_builds(config):
    """{arch: build tree} from the zip's CPack configuration."""
    text = Path(config).read_text()
    builds = dict(re.findall(r'"([^";]+);marvok;ALL;/(x86_64|i686)"', text))
    return {arch: build for build, arch in builds.items()}


def check_zip(args):
    builds = windows_builds(args.config)
    expect(set(builds) == set(PE_MACHINES), f"{args.config} names builds {builds}")
    work = fresh(Path(args.work))
    run([args.cpack, "--config", args.config, "-B", work])
    zips = list(work.glob("*.zip"))
    expect(len(zips) == 1, f"expected one .zip in {work}, found {zips}")
    top = f"marvok-{args.version}-windows"
    expect(zips[0].name == top + ".zip", f"zip named {zips[0].name}")
    with zipfile.ZipFile(zips[0]) as archive:
        names = set(archive.namelist())
        for arch, build in builds.items():
            wanted = ["bin/Marvok.dll", "bin/marvok-read.exe", "include/marvok.h",
                      "lib/cmake/marvok/marvok-config.cmake"]
            # The simulator comes along once a Windows build makes it.
            if (Path(build) / "bin/marvok-sim.exe").is_file():
                wanted.append("bin/marvok-sim.exe")
            missing = [w for w in wanted if f"{top}/{arch}/{w}" not in names]
            expect(not missing, f"{arch} folder of the zip lacks {', '.join(missing)}")
            for program in ("Marvok.dll", "marvok-read.exe"):
                machine = pe_machine(archive.read(f"{top}/{arch}/bin/{program}"))
                expect(machine == PE_MACHINES[arch],
                       f"{arch}/bin/{program} is for machine {machine:#x}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="check", required=True)
    tree = sub.add_parser("tree")
    tree.add_argument("--build", required=True)
    tree.add_argument("--work", required=True)
    tree.add_argument("--generator", required=True)
    tree.add_argument("--cc", required=True)
    tree.add_argument("--cflags", default="")
    deb = sub.add_parser("deb")
    deb.add_argument("--build", required=True)
    deb.add_argument("--work", required=True)
    deb.add_argument("--version", required=True)
    archive = sub.add_parser("zip")
    archive.add_argument("--config", required=True)
    archive.add_argument("--work", required=True)
    archive.add_argument("--version", required=True)
    for command in (tree, deb, archive):
        command.add_argument("--cmake", default="cmake")
        command.add_argument("--cpack", default="cpack")
    args = parser.parse_args()
    try:
        {"tree": check_tree, "deb": check_deb, "zip": check_zip}[args.check](args)
    except (Failure, RuntimeError) as e:
        print(f"FAILED: {e}", file=sys.stderr)
        return 1
    print(f"install check {args.check}: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
