#!/usr/bin/env python3
"""Prints the benchmark's tables from the raw files that bench/run.sh leaves in bench/out/."""

import csv
import json
import os
import statistics
import sys

RATIO_TARGET = 1.10
SIGNATURE_COST_TARGET = 0.05
DROP_FACTOR = 1.5


def rows(path):
    if not os.path.exists(path):
        return []
    with open(path, newline="") as source:
        return list(csv.DictReader(source))


def ok(status):
    return status == "0"


def table(header, lines):
    lines = [list(line) + ["-"] * (len(header) - len(line)) for line in lines]
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *lines)]
    fmt = lambda cells: "  ".join(str(c).ljust(w) for c, w in zip(cells, widths)).rstrip()
    print(fmt(header))
    print(fmt(["-" * w for w in widths]))
    for line in lines:
        print(fmt(line))


def order(front_ends):
    known = ["plain", "terminal", "window"]
    return sorted(set(front_ends), key=lambda f: (known.index(f) if f in known else 99, f))


def main(out):
    print()
    with open(os.path.join(out, "environment.txt")) as f:
        print(f.read().rstrip())
    notes = os.path.join(out, "notes.txt")
    if os.path.exists(notes) and os.path.getsize(notes):
        with open(notes) as f:
            print(f.read().rstrip())

    # 1. Round trip.
    runs = rows(os.path.join(out, "roundtrip.csv"))
    print("\n1. 256 MiB install agent: download + unpack + start, median wall time (s) [min..max], alternated rounds")
    contenders = ["launcher", "oneliner"] + (["signed"] if any(r["contender"] == "signed" for r in runs) else [])
    lines = []
    for fe in order(r["front_end"] for r in runs):
        cells = [fe]
        medians = {}
        for contender in contenders:
            good = [float(r["seconds"]) for r in runs
                    if r["front_end"] == fe and r["contender"] == contender and ok(r["status"])]
            failed = [r["status"] for r in runs
                      if r["front_end"] == fe and r["contender"] == contender and not ok(r["status"])]
            hung = sum(1 for status in failed if status in ("124", "137"))
            bad = len(failed) - hung
            if good:
                medians[contender] = statistics.median(good)
                cell = "%.3f [%.3f..%.3f] n=%d" % (medians[contender], min(good), max(good), len(good))
            else:
                cell = "-"
            if bad:
                cell += " (%d failed)" % bad
            if hung:
                cell += " (%d HUNG, killed)" % hung
            cells.append(cell)
        if "launcher" in medians and "oneliner" in medians:
            ratio = medians["launcher"] / medians["oneliner"]
            cells += ["%.3f" % ratio, "ok" if ratio <= RATIO_TARGET else "ABOVE %.2f" % RATIO_TARGET]
        else:
            cells += ["-", "-"]
        if "signed" in contenders:
            if "signed" in medians and "oneliner" in medians and "launcher" in medians:
                signed_ratio = medians["signed"] / medians["oneliner"]
                cost = medians["signed"] / medians["launcher"] - 1
                cells += ["%.3f" % signed_ratio, "ok" if signed_ratio <= RATIO_TARGET else "ABOVE %.2f" % RATIO_TARGET,
                          "%+.1f %%" % (100 * cost), "ok" if cost < SIGNATURE_COST_TARGET else "ABOVE"]
            else:
                cells += ["-", "-", "-", "-"]
        lines.append(cells)
    header = ["front end", "launcher", "curl && unzip && sh"]
    if "signed" in contenders:
        header.append("launcher, signed")
    header += ["ratio", "target <= %.2f" % RATIO_TARGET]
    if "signed" in contenders:
        header += ["signed ratio", "target <= %.2f" % RATIO_TARGET, "signature cost",
                   "target < %d %%" % (100 * SIGNATURE_COST_TARGET)]
    table(header, lines)

    # 2. Memory.
    memory = rows(os.path.join(out, "memory.csv"))
    print("\n2. Peak memory (KiB): launcher alone (VmHWM, read while it waits for the agent)"
          " vs /usr/bin/time %M (launcher or any child it waited for)")
    lines = []
    for fe in order(r["front_end"] for r in memory):
        sizes = sorted({int(r["archive_mib"]) for r in memory})
        hwm = {}
        cells = [fe]
        for size in sizes:
            picked = [r for r in memory if r["front_end"] == fe and int(r["archive_mib"]) == size]
            values = [int(r["vmhwm_kib"]) for r in picked if r["vmhwm_kib"]]
            timed = [int(r["time_maxrss_kib"]) for r in picked if r["time_maxrss_kib"]]
            anon = [int(r["rss_anon_kib"]) for r in picked if r["rss_anon_kib"]]
            hwm[size] = max(values) if values else None
            if not values:
                cells.append("%s MiB: -" % size)
                continue
            cells.append("%s MiB: %s (anon %s), time %s" % (
                size, max(values), max(anon) if anon else "?", max(timed) if timed else "?"))
        if len(sizes) == 2 and all(hwm[s] for s in sizes):
            growth = hwm[sizes[1]] - hwm[sizes[0]]
            cells.append("%+d KiB" % growth)
            cells.append("flat" if abs(growth) < 2048 else "GROWS")
        else:
            cells += ["-", "-"]
        lines.append(cells)
    table(["front end", "small archive", "large archive", "VmHWM growth", "verdict"], lines)

    # 3. Stall.
    stall = rows(os.path.join(out, "stall.csv"))
    print("\n3. CPU while the server stalls after the headers, then SIGTERM")
    lines = []
    for r in stall:
        if not r["window_seconds"]:
            lines.append([r["front_end"], "-", "-", "-", "-", r["exit_status"], r["last_line"], "NOT MEASURED"])
            continue
        window = float(r["window_seconds"])
        # A run ended by SIGTERM before its agent cleans up, then dies by that signal: 128 + 15.
        exit_ok = r["exit_status"] == "143" and r["last_line"].strip() == "Installation failed."
        stalled = r["body_bytes_during_window"] == "0"
        lines.append([r["front_end"], r["cpu_seconds_per_second"], "%.2f ms" % (int(r["sched_ns_used"]) / 1e6),
                      "%.1f" % (int(r["wakeups"]) / window), r["body_bytes_during_window"],
                      r["exit_status"], r["last_line"], "ok" if exit_ok and stalled else "NOT AS EXPECTED" if stalled else "INVALID: no stall throughout"])
    table(["front end", "CPU s/s (ticks)", "on CPU in window", "switches/s", "body bytes", "exit", "last line",
           "verdict"], lines)

    # 4. ETag match.
    etag = rows(os.path.join(out, "etag.csv"))
    requests = []
    path = os.path.join(out, "etag-requests.json")
    if os.path.exists(path):
        try:
            with open(path) as f:
                requests = json.load(f)
        except ValueError:
            requests = []
    print("\n4. Same ETag, primed cache: from exec to the cached agent's first line (ms), and what the server sent")
    lines = []
    for fe in order(r["front_end"] for r in etag):
        picked = [r for r in etag if r["front_end"] == fe]
        good = [r for r in picked if ok(r["status"])]
        to_agent = [1000 * float(r["to_agent_seconds"]) for r in good]
        to_exit = [1000 * float(r["to_exit_seconds"]) for r in good]
        served = next((q for q in requests if q.get("front_end") == fe), None)
        sent = [q["bytes_sent"] for q in served["requests"]] if served else []
        closed = [q["client_closed"] for q in served["requests"]] if served else []
        lines.append([
            fe,
            "%.1f [%.1f..%.1f]" % (statistics.median(to_agent), min(to_agent), max(to_agent)) if to_agent else "-",
            "%.1f" % statistics.median(to_exit) if to_exit else "-",
            "%d/%d" % (len(good), len(picked)),
            ("%d / %d (max %d)" % (statistics.median(sent), served["archive_bytes"], max(sent))) if sent else "-",
            "%d/%d" % (sum(closed), len(closed)) if closed else "-",
        ])
    table(["front end", "to agent, median [min..max]", "to exit", "ok runs", "body bytes sent, median / archive",
           "client hung up"], lines)


    # 5. Drops.
    drops = rows(os.path.join(out, "drops.csv"))
    print("\n5. Connection dropped twice: the launcher's wall time (s) against a clean download (1.) plus the"
          " waits it announced")
    lines = []
    for fe in order(r["front_end"] for r in drops):
        picked = [r for r in drops if r["front_end"] == fe]
        good = [r for r in picked if ok(r["status"]) and r["retries"] == "2"]
        clean = [float(r["seconds"]) for r in runs
                 if r["front_end"] == fe and r["contender"] == "launcher" and ok(r["status"])]
        if not good or not clean:
            lines.append([fe, "-", "-", "-", "-", "%d/%d" % (len(good), len(picked)), "-", "NOT MEASURED"])
            continue
        seconds = statistics.median(float(r["seconds"]) for r in good)
        waits = statistics.median(float(r["waits_seconds"]) for r in good)
        clean_median = statistics.median(clean)
        limit = DROP_FACTOR * clean_median + waits
        sent = statistics.median(int(r["body_bytes_sent"]) for r in good)
        lines.append([fe, "%.3f [%.3f..%.3f]" % (seconds, min(float(r["seconds"]) for r in good),
                                                 max(float(r["seconds"]) for r in good)),
                      "%.3f" % waits, "%.3f" % clean_median, "%.3f" % limit, "%d/%d" % (len(good), len(picked)),
                      "%d" % sent, "ok" if seconds <= limit else "ABOVE"])
    table(["front end", "dropped twice, median [min..max]", "waits", "clean (1.)",
           "limit %.1f x clean + waits" % DROP_FACTOR, "ok runs", "body bytes sent", "verdict"], lines)

    # 6. The signature's cost on a slower link.
    link = rows(os.path.join(out, "signed-link.csv"))
    if link:
        print("\n6. Signed against unsigned over a slower link (the server paces the body): median wall time (s)")
        medians = {}
        cells = []
        for contender in ("launcher", "signed"):
            good = [float(r["seconds"]) for r in link if r["contender"] == contender and ok(r["status"])]
            medians[contender] = statistics.median(good) if good else None
            cells.append("%.3f [%.3f..%.3f] n=%d" % (medians[contender], min(good), max(good), len(good))
                         if good else "-")
        if medians["launcher"] and medians["signed"]:
            cost = medians["signed"] / medians["launcher"] - 1
            cells += ["%+.1f %%" % (100 * cost), "ok" if cost < SIGNATURE_COST_TARGET else "ABOVE"]
        else:
            cells += ["-", "-"]
        table(["unsigned", "signed", "signature cost", "target < %d %%" % (100 * SIGNATURE_COST_TARGET)], [cells])


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "out"))
