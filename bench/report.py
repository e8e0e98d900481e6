#!/usr/bin/env python3
"""Reads the JSON that the three benchmark programs wrote, prints the table of
figures with the ratios and the targets, and writes them all into one file.

    report.py OUT.json CLIENT.json SIM.json PLANT.json

Exit status: 0 when every benchmark ran without error (a target missed is
reported, not an error), 1 when one failed, 2 for a bad command line."""
import json
import platform
import statistics
import sys

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load(path):
    with open(path) as f:
        return json.load(f)


def runs(doc):
    """name -> list of iteration entries (repetitions), errors kept apart."""
    out, errors = {}, []
    for b in doc.get("benchmarks", []):
        if b.get("run_type") == "aggregate":
            continue
        name = b["run_name"]
        if b.get("error_occurred"):
            errors.append(f"{name}: {b.get('error_message', 'failed')}")
            continue
        out.setdefault(name, []).append(b)
    return out, errors


def median_ns(entries):
    return statistics.median(e["real_time"] * UNIT_NS[e["time_unit"]] for e in entries)


def median_counter(entries, key):
    values = [e[key] for e in entries if key in e]
    return statistics.median(values) if values else None


def find(table, prefix):
    """The one run whose name starts with prefix (names carry suffixes such as
    /real_time or /iterations:1/manual_time)."""
    for name, entries in table.items():
        if name == prefix or name.startswith(prefix + "/"):
            return entries
    return None


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


class Report:
    def __init__(self):
        self.rows, self.figures = [], []

    def row(self, what, value, unit, note=""):
        self.rows.append((what, value, unit, note))

    def target(self, what, value, goal, met):
        self.figures.append({"figure": what, "value": value, "target": goal, "met": met})

    def print(self, machine, errors):
        print(f"\nMachine: {machine['cpus']} x {machine['cpu_model']}, load average at start "
              f"{machine['load_avg']}")
        width = max(len(r[0]) for r in self.rows)
        for what, value, unit, note in self.rows:
            shown = "n/a" if value is None else (f"{value:,.0f}" if abs(value) >= 100 else f"{value:.3g}")
            print(f"  {what:<{width}}  {shown:>12} {unit:<8} {note}")
        print("\nTargets:")
        for f in self.figures:
            state = "n/a" if f["met"] is None else ("met" if f["met"] else "MISSED")
            value = "n/a" if f["value"] is None else f"{f['value']:.3g}"
            print(f"  {f['figure']:<52} {value:>10}  target {f['target']:<10} {state}")
        for e in errors:
            print(f"ERROR {e}")


def describe_cpu(share, each):
    if share is None or each is None:
        return ""
    return f"server: {share:.2f} of a core, {each:.1f} us CPU each"


def ratio(a, b):
    return a / b if a is not None and b else None


def main(argv):
    if len(argv) != 5:
        print(__doc__, file=sys.stderr)
        return 2
    out_path, client_doc, sim_doc, plant_doc = argv[1], load(argv[2]), load(argv[3]), load(argv[4])
    client, e1 = runs(client_doc)
    sim, e2 = runs(sim_doc)
    plant, e3 = runs(plant_doc)
    errors = e1 + e2 + e3
    ctx = client_doc.get("context", {})
    machine = {"cpus": ctx.get("num_cpus"), "cpu_model": cpu_model(),
               "load_avg": ctx.get("load_avg"), "date": ctx.get("date")}
    r = Report()

    def ns(table, name):
        entries = find(table, name)
        return median_ns(entries) if entries else None

    def counter(table, name, key):
        entries = find(table, name)
        return median_counter(entries, key) if entries else None

    # 1. One transaction on an open connection, and 2. a whole call without
    # the pause. The targets take the paired runs' ratios (the three clients
    # in turn, block by block), which hold when the machine's load moves.
    def paired(kind):
        return {key: counter(client, f"{kind}/paired", key)
                for key in ("raw_us", "marvok_us", "libmodbus_us", "marvok_per_raw", "marvok_per_libmodbus")}

    t = {k: ns(client, "transaction/" + k) for k in ("raw", "marvok", "libmodbus", "raw_echo")}
    tp = paired("transaction")
    r.row("transaction raw socket (vs marvok-sim)", t["raw"] and t["raw"] / 1e3, "us", "median")
    r.row("transaction marvok client", t["marvok"] and t["marvok"] / 1e3, "us", "median")
    r.row("transaction libmodbus", t["libmodbus"] and t["libmodbus"] / 1e3, "us", "median")
    r.row("transaction raw socket (vs bare echo server)", t["raw_echo"] and t["raw_echo"] / 1e3, "us",
          "the loopback floor")
    r.row("transaction paired: raw / marvok / libmodbus", tp["raw_us"], "us",
          "" if tp["marvok_us"] is None else f"/ {tp['marvok_us']:.1f} / {tp['libmodbus_us']:.1f} us")
    r.row("  marvok / raw (paired)", tp["marvok_per_raw"], "x")
    r.row("  marvok / libmodbus (paired)", tp["marvok_per_libmodbus"], "x")
    c = {k: ns(client, "call/" + k) for k in ("raw", "marvok", "libmodbus", "raw_echo")}
    cp = paired("call")
    r.row("call raw socket (connect, exchange, close)", c["raw"] and c["raw"] / 1e3, "us", "median")
    r.row("call marvok (no pause)", c["marvok"] and c["marvok"] / 1e3, "us", "median")
    r.row("call libmodbus (connect, read, close)", c["libmodbus"] and c["libmodbus"] / 1e3, "us", "median")
    r.row("call raw socket (vs bare echo server)", c["raw_echo"] and c["raw_echo"] / 1e3, "us")
    r.row("call paired: raw / marvok / libmodbus", cp["raw_us"], "us",
          "" if cp["marvok_us"] is None else f"/ {cp['marvok_us']:.1f} / {cp['libmodbus_us']:.1f} us")
    r.row("  marvok / raw (paired)", cp["marvok_per_raw"], "x")
    r.row("  marvok / libmodbus (paired)", cp["marvok_per_libmodbus"], "x")

    # 3. The simulator under load.
    clients = sorted({int(n.split("clients:")[1].split("/")[0]) for n in sim if "clients:" in n})
    rates = {}
    for n in clients:
        for server in ("marvok-sim", "libmodbus", "echo"):
            name = f"keepalive/{server}/clients:{n}"
            rates[(server, n)] = counter(sim, name, "req_per_s")
            cpu = counter(sim, name, "server_cpu")
            each = counter(sim, name, "server_us_each")
            r.row(f"req/s {server}, {n} keep-alive clients", rates[(server, n)], "req/s",
                  describe_cpu(cpu, each))
        near = rates[("marvok-sim", n)] and rates[("echo", n)] and rates[("marvok-sim", n)] > 0.9 * rates[("echo", n)]
        r.row(f"  marvok-sim / libmodbus, {n} clients", ratio(rates[("marvok-sim", n)], rates[("libmodbus", n)]),
              "x", "near the generator's own limit (echo)" if near else "")
    pk = {n: find(sim, f"keepalive/paired/clients:{n}") for n in clients}
    for n in clients:
        if pk[n]:
            r.row(f"paired, {n} clients: marvok-sim / libmodbus / echo",
                  median_counter(pk[n], "marvok-sim_req_per_s"), "req/s",
                  f"/ {median_counter(pk[n], 'libmodbus_req_per_s'):,.0f} / {median_counter(pk[n], 'echo_req_per_s'):,.0f}")
            r.row(f"  marvok-sim / libmodbus, {n} clients (paired)", median_counter(pk[n], "sim_per_libmodbus"), "x")
    conn = {}
    for server in ("marvok-sim", "libmodbus", "echo"):
        conn[server] = counter(sim, f"connect/{server}", "conn_per_s")
        cpu = counter(sim, f"connect/{server}", "server_cpu")
        each = counter(sim, f"connect/{server}", "server_us_each")
        r.row(f"new connections/s {server}", conn[server], "conn/s",
              describe_cpu(cpu, each))

    pc = find(sim, "connect/paired")
    if pc:
        r.row("paired new connections/s: marvok-sim / libmodbus / echo", median_counter(pc, "marvok-sim_conn_per_s"),
              "conn/s",
              f"/ {median_counter(pc, 'libmodbus_conn_per_s'):,.0f} / {median_counter(pc, 'echo_conn_per_s'):,.0f}")

    # 4. The plant.
    sweep = find(plant, "plant/sweep")
    lib = find(plant, "plant/library")
    instruments = answered = rss = sweep_s = per_call = None
    if sweep:
        instruments = median_counter(sweep, "instruments")
        answered = median_counter(sweep, "answered")
        rss = median_counter(sweep, "rss_peak_MiB")
        sweep_s = median_ns(sweep) / 1e9
        r.row("plant instruments", instruments, "")
        r.row("plant sweep, each read once", sweep_s, "s", f"{answered:.0f} answered correctly")
        r.row("plant simulator start", median_counter(sweep, "startup_s"), "s")
        r.row("plant simulator resident, idle", median_counter(sweep, "rss_idle_MiB"), "MiB")
        r.row("plant simulator peak resident (VmHWM)", rss, "MiB")
    if lib:
        per_call = median_counter(lib, "per_call_us")
        r.row("plant library calls, serial (no pause)", per_call, "us/call",
              f"{median_counter(lib, 'calls'):.0f} instruments, second round")
        r.row("plant library calls, first round", median_counter(lib, "first_round_us_each"), "us/call",
              "first connection to each address")

    def at_most(v, goal):
        return None if v is None else v <= goal

    def at_least(v, goal):
        return None if v is None else v >= goal

    def pick(paired_ratio, a, b):
        return paired_ratio if paired_ratio is not None else ratio(a, b)

    v = pick(tp["marvok_per_raw"], t["marvok"], t["raw"])
    r.target("client transaction / raw ping-pong", v, "<= 1.2", at_most(v, 1.2))
    v = pick(tp["marvok_per_libmodbus"], t["marvok"], t["libmodbus"])
    r.target("client transaction / libmodbus", v, "<= 1.0", at_most(v, 1.0))
    v = pick(cp["marvok_per_libmodbus"], c["marvok"], c["libmodbus"])
    r.target("call without pause / libmodbus connect-read-close", v, "<= 1.0", at_most(v, 1.0))
    top = max(clients) if clients else None
    if top is not None:
        v = pick(pk[top] and median_counter(pk[top], "sim_per_libmodbus"),
                 rates[("marvok-sim", top)], rates[("libmodbus", top)])
        r.target(f"simulator / libmodbus server at {top} clients", v, ">= 2.0", at_least(v, 2.0))
    v = max(x for x in (conn["marvok-sim"], pc and median_counter(pc, "marvok-sim_conn_per_s"), 0) if x is not None)
    r.target("simulator new connections per second", v or None, ">= 20000", at_least(v or None, 20000))
    r.target(f"plant peak resident MiB ({instruments and int(instruments)} instruments)", rss, "< 100",
             None if rss is None else rss < 100)
    r.target("plant instruments answering correctly", answered, f"= {instruments and int(instruments)}",
             None if answered is None else answered == instruments)

    r.print(machine, errors)
    with open(out_path, "w") as f:
        json.dump({"machine": machine, "table": [dict(zip(("what", "value", "unit", "note"), row)) for row in r.rows],
                   "targets": r.figures, "errors": errors,
                   "raw": {"client": client_doc, "sim": sim_doc, "plant": plant_doc}}, f, indent=1)
    print(f"\nwritten: {out_path}")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
