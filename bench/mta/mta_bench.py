#!/usr/bin/env python3
"""A real mail server end to end: private Postfix instances on 127.0.0.1, each relaying to its own
smtp-sink, with four milter sides side by side in one run:

    none       Postfix alone
    null       a do-nothing libmilter milter (bench/mta/null_milter: envelope, headers and body
               asked for, everything accepted): the milter protocol's own cost
    reference  Debian's clamav-milter + clamd run privately (own configuration, sockets and pid
               files; database = a copy of our test signatures; no freshclam)
    mailhook   `mailhook service` + `mailhook milter`

Each cell sends N messages of one size with smtp-source, one message per connection, CONNS
connections at once (`smtp-source -s CONNS -m N -l SIZE`), and ends when Postfix has relayed all N
to the sink: messages per second end to end. CPU per message of the milter side is the milter's
and the scanner's utime+stime (/proc/PID/stat) over the cell, divided by N. Rows alternate within
every cell, their order rotated each repetition; medians of the repetitions. The scanners get the
same limits and mail and archive parsing; one delivered message per cell is checked for the
scanner's clean verdict, and the sink must hold all N. Postfix's queue is on disk, as deployed;
the scanners' own files are on a tmpfs, as deployed (mailhook's runtime folder, clamd's temporary
folder: both engines write the mail parts they decode there).

Writes mta.md, mta.json and mta.png (gnuplot) into --out. Needs root (Postfix).
"""
import argparse
import datetime
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e", "mta"))
import mta_harness as h  # noqa: E402

SIZES = {"1K": 1 << 10, "64K": 64 << 10, "1M": 1 << 20, "10M": 10 << 20}
# Messages per cell: a few seconds of Postfix alone on a 2-core VM.
MESSAGES = {"1K": 400, "64K": 300, "1M": 80, "10M": 16}
ROWS = [("none", "Postfix alone"), ("null", "+ do-nothing libmilter milter"),
        ("reference", "+ clamav-milter and clamd"), ("mailhook", "+ mailhook milter and service")]
# What each scanner writes on a clean message, to check that the measured messages were scanned.
VERDICT = {"reference": ("X-Virus-Status", "Clean"), "mailhook": ("X-Mailhook-Scan", "clean")}


class Row:
    def __init__(self, key, title, side, root, sink_folder):
        self.key, self.title, self.side = key, title, side
        self.postfix = h.PrivatePostfix(os.path.join(root, key), milter=side.socket if side else None,
                                        settings={"in_flow_delay": "0"}, sink_folder=sink_folder,
                                        milter_timeouts=(10, 60, 300))

    def pids(self):
        return self.side.pids() if self.side else []


class NullSide:
    def __init__(self, binary, root):
        folder = h.private_folder(os.path.join(root, "null"))
        self.socket = "unix:" + os.path.join(folder, "milter.sock")
        self.milter = h.Daemon("null-milter", [binary, self.socket], folder)

    def start(self):
        self.milter.start()

    def stop(self):
        self.milter.stop()

    def pids(self):
        return [self.milter.pid]


def smtp_source(port, conns, count, size):
    argv = [os.path.join(h.SBIN, "smtp-source"), "-s", str(conns), "-m", str(count), "-l", str(size),
            "-f", "sender@client.mailhook.test", "-t", "rcpt@dest.mailhook.test", "-M", "client.mailhook.test",
            "127.0.0.1:%d" % port]
    done = subprocess.run(argv, capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        raise RuntimeError("smtp-source %s failed (%d): %s" % (" ".join(argv[1:]), done.returncode,
                                                              (done.stdout + done.stderr).strip()[-500:]))


def first_header(path):
    """The header of the message in an smtp-sink file (the sink's own lines taken off), read from
    the first 64 KiB only."""
    with open(path, "rb") as f:
        head = f.read(64 << 10)
    return h.SinkMessage(path, head.split(b"\n\n", 1)[0] + b"\n\n\n").header


def measure(row, conns, count, size):
    """One cell: N messages through the row's Postfix; (messages per second, milter-side CPU ms per
    message)."""
    sink = row.postfix.sink
    for name in os.listdir(sink.folder):
        os.unlink(os.path.join(sink.folder, name))
    offset = row.postfix.log_size()
    pids = row.pids()
    cpu0 = sum(h.cpu_seconds(p) for p in pids)
    t0 = time.monotonic()
    smtp_source(row.postfix.port, conns, count, size)
    expect = max(30.0, count * size / (2 << 20))
    h.wait_for("%d messages of %d bytes through %s to reach the sink" % (count, size, row.key),
               lambda: len(row.postfix.sent(row.postfix.log_since(offset))) >= count, expect, 0.01)
    elapsed = time.monotonic() - t0
    cpu = sum(h.cpu_seconds(p) for p in pids) - cpu0
    files = sink.files()
    if len(files) != count:
        raise RuntimeError("%s: the sink holds %d messages, %d were sent" % (row.key, len(files), count))
    if row.key in VERDICT:
        name, clean = VERDICT[row.key]
        fields = h.header_fields(first_header(files[-1]), name)
        if len(fields) != 1 or not fields[0].startswith(clean):
            raise RuntimeError("%s: a delivered %d-byte message says %s: %r" % (row.key, size, name, fields))
    return count / elapsed, (cpu * 1000.0 / count if pids else None)


def start_rows(args, root, sink_root):
    limits = h.ScanLimits()
    rows, skipped = [], []
    for key, title in ROWS:
        if key not in args.rows:
            continue
        side = None
        try:
            if key == "null":
                if not (args.null_milter and os.access(args.null_milter, os.X_OK)):
                    raise RuntimeError("no null_milter (built where libmilter-dev is installed)")
                side = NullSide(args.null_milter, root)
            elif key == "reference":
                missing = [p for p in ("clamd", "clamav-milter") if not shutil.which(p, path=h.SBIN)]
                if missing:
                    raise RuntimeError("not installed: %s (Debian: clamav-daemon, clamav-milter)" % ", ".join(missing))
                side = h.ClamavReference(root, args.signatures, limits)
            elif key == "mailhook":
                side = h.Mailhook(args.mailhook, root, args.signatures, limits,
                                  milter_args=["--max-message", str(64 << 20)])
            if side:
                side.start()
            row = Row(key, title, side, root, os.path.join(sink_root, key))
            row.postfix.start()
            rows.append(row)
        except Exception as e:  # the row is left out and the table says why
            if side:
                side.stop()
            skipped.append((title, str(e).splitlines()[0] if str(e) else repr(e)))
            print("row %s skipped: %s" % (key, e), file=sys.stderr)
    return rows, skipped


def stop_rows(rows):
    for row in rows:
        try:
            row.postfix.stop()
        finally:
            if row.side:
                row.side.stop()


def run(args, rows):
    results = {}
    for rep in range(args.repetitions):
        for size_name in args.sizes:
            for conns in args.conns:
                count = max(conns, MESSAGES[size_name] // args.scale)
                order = rows[rep % len(rows):] + rows[:rep % len(rows)]
                for row in order:
                    rate, cpu = measure(row, conns, count, SIZES[size_name])
                    results.setdefault((row.key, size_name, conns), []).append((rate, cpu, count))
                    print("  rep %d  %-9s %4s x%-2d  %8.1f msg/s  %s" % (
                        rep + 1, row.key, size_name, conns, rate,
                        "cpu %.2f ms/msg" % cpu if cpu is not None else ""), file=sys.stderr, flush=True)
    return results


def median_cells(results):
    out = []
    for (key, size_name, conns), runs in results.items():
        cpus = [c for _, c, _ in runs if c is not None]
        out.append({"row": key, "size": SIZES[size_name], "size_name": size_name, "conns": conns,
                    "messages": runs[0][2], "msg_per_s": statistics.median(r for r, _, _ in runs),
                    "cpu_ms_per_msg": statistics.median(cpus) if cpus else None,
                    "runs": [{"msg_per_s": r, "cpu_ms_per_msg": c} for r, c, _ in runs]})
    return out


def markdown(data, rows, skipped):
    cells = {(c["row"], c["size_name"], c["conns"]): c for c in data["results"]}
    cols = [(s, n) for s in data["sizes"] for n in data["conns"]]
    head = "| row | " + " | ".join("%s, %d conn%s" % (s, n, "s" if n > 1 else "") for s, n in cols) + " |"
    rule = "|---|" + "---|" * len(cols)
    out = ["Messages per second end to end (smtp-source, one message per connection; medians of %d):" %
           data["repetitions"], "", head, rule]
    fmt = lambda v, f: (f % v) if v is not None else "–"
    for key, title in rows:
        out.append("| %s | " % title + " | ".join(
            fmt(cells.get((key, s, n), {}).get("msg_per_s"), "%.1f") for s, n in cols) + " |")
    out += ["", "CPU of the milter side per message, ms (milter + scanner processes, utime+stime):", "", head, rule]
    for key, title in rows:
        if key == "none":
            continue
        out.append("| %s | " % title + " | ".join(
            fmt(cells.get((key, s, n), {}).get("cpu_ms_per_msg"), "%.2f") for s, n in cols) + " |")

    comparisons = [("mailhook / reference, msg/s", "mailhook", "reference", "msg_per_s"),
                   ("mailhook / reference, CPU per message", "mailhook", "reference", "cpu_ms_per_msg"),
                   ("mailhook / do-nothing milter, msg/s", "mailhook", "null", "msg_per_s")]
    out += ["", "Ratios (medians):", "", head.replace("| row |", "| ratio |"), rule]
    for title, a, b, field in comparisons:
        vals = []
        for s, n in cols:
            x, y = cells.get((a, s, n), {}).get(field), cells.get((b, s, n), {}).get(field)
            vals.append("%.2f" % (x / y) if x and y else "–")
        out.append("| %s | " % title + " | ".join(vals) + " |")
    out += ["", "%s, %s; Postfix %s; %s." % (data["machine"], data["date"], data["postfix"], data["setup"])]
    for title, why in skipped:
        out.append("Not measured: %s (%s)." % (title, why))
    return "\n".join(out) + "\n"


def plot(data, rows, path):
    """Messages per second and CPU per message against size, 1 and 8 connections."""
    colours = {"none": "#7f7f7f", "null": "#2ca02c", "reference": "#d62728", "mailhook": "#1f77b4"}
    conns = data["conns"]
    with tempfile.TemporaryDirectory() as tmp:
        script = ["set terminal pngcairo noenhanced size 1400,900 font 'sans,10'", "set output '%s'" % os.path.abspath(path),
                  "set multiplot layout 2,%d title 'Postfix end to end with each milter: %s, %s'" % (
                      len(conns), data["machine"], data["date"]),
                  "set logscale xy", "set xlabel 'message size (KiB)'", "set grid"]
        for field, label, key in (("msg_per_s", "messages/s (median)", "top right"),
                                  ("cpu_ms_per_msg", "milter-side CPU ms/message", "top left")):
            script.append("set key " + key)
            for n in conns:
                plots = []
                for key, title in rows:
                    points = sorted((c["size"], c[field]) for c in data["results"]
                                    if c["row"] == key and c["conns"] == n and c[field])
                    if not points:
                        continue
                    dat = os.path.join(tmp, "%s-%s-%d.dat" % (key, field, n))
                    with open(dat, "w") as f:
                        f.writelines("%g %g\n" % (s / 1024.0, v) for s, v in points)
                    plots.append("'%s' using 1:2 with linespoints lw 2 pt 7 lc rgb '%s' title '%s'" % (
                        dat, colours[key], title.lstrip("+ ")))
                script += ["set ylabel '%s'" % label, "set title '%d connection%s'" % (n, "s" if n > 1 else "")]
                script.append("plot " + ", ".join(plots) if plots else "clear")
        script.append("unset multiplot")
        subprocess.run(["gnuplot"], input="\n".join(script), text=True, check=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--mailhook", default="build/ci/bin/mailhook")
    ap.add_argument("--null-milter", default="build/ci/bin/null_milter")
    ap.add_argument("--signatures", default=os.path.join(HERE, "..", "..", "tools", "mailhook", "signatures"))
    ap.add_argument("--out", default=".", help="folder for mta.md, mta.json, mta.png")
    ap.add_argument("--sizes", default="1K,64K,1M,10M")
    ap.add_argument("--conns", default="1,8")
    ap.add_argument("--rows", default="none,null,reference,mailhook")
    ap.add_argument("--repetitions", type=int, default=3)
    ap.add_argument("--quick", action="store_true", help="a short try: 1 repetition, a quarter of the messages")
    args = ap.parse_args()
    args.sizes = args.sizes.split(",")
    args.conns = [int(c) for c in args.conns.split(",")]
    args.rows = args.rows.split(",")
    args.scale = 4 if args.quick else 1
    if args.quick:
        args.repetitions = 1
    if os.getuid() != 0:
        sys.exit("needs root: Postfix's master runs as root")
    if h.missing_tools():
        sys.exit("missing: " + h.missing_tools())
    os.makedirs(args.out, exist_ok=True)

    root = h.work_folder("mailhook-mta-bench-")
    # The sinks keep each message on a tmpfs: reading one back checks the verdict, and no disk
    # write-back of 10 MiB files lands in another row's cell. Postfix's queue stays on disk.
    sink_root = h.private_folder(tempfile.mkdtemp(prefix="mailhook-mta-sink-", dir="/dev/shm"))
    rows, skipped = start_rows(args, root, sink_root)
    try:
        if not rows:
            sys.exit("no row could be started")
        for row in rows:  # warm up: every process spawned, every engine loaded
            measure(row, 8, 16, 1024)
        results = run(args, rows)
    finally:
        stop_rows(rows)
    postfix = subprocess.run([os.path.join(h.SBIN, "postconf"), "-d", "-h", "mail_version"],
                             capture_output=True, text=True).stdout.strip()
    data = {"machine": "%s, %d cores" % (platform.machine(), os.cpu_count()),
            "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d"),
            "postfix": postfix, "repetitions": args.repetitions, "sizes": args.sizes, "conns": args.conns,
            "setup": "Postfix queue on disk; sinks, mailhook runtime folder and clamd temporary files on tmpfs; "
                     "in_flow_delay 0; Unix milter sockets",
            "rows": [r.key for r in rows], "skipped": skipped, "results": median_cells(results)}
    shown = [(r.key, r.title) for r in rows]
    text = markdown(data, shown, skipped)
    print(text)
    with open(os.path.join(args.out, "mta.md"), "w") as f:
        f.write(text)
    with open(os.path.join(args.out, "mta.json"), "w") as f:
        json.dump(data, f, indent=1)
    if shutil.which("gnuplot"):
        plot(data, shown, os.path.join(args.out, "mta.png"))
        print("plot: " + os.path.join(args.out, "mta.png"))
    else:
        print("no gnuplot: plot skipped (apt-get install gnuplot-nox)")
    shutil.rmtree(root, ignore_errors=True)
    shutil.rmtree(sink_root, ignore_errors=True)


if __name__ == "__main__":
    main()
