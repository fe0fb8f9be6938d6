#!/usr/bin/env python3
"""What the service's scanning engine costs next to what carrying a message costs.

Runs `mailhook service` with the built-in scan and with the engine, side by side in one run
(alternating, the median of --rounds), and carries the same input through each with one hook
thread: the Python test-suite mail corpus, and messages with large attachments built here. The
service times its engine calls (steady clock around each scan); the hook times the whole road.
Writes a Markdown table to --out (default: stdout).
"""
import argparse
import base64
import datetime
import json
import os
import platform
import re
import signal
import statistics
import subprocess
import sys
import tempfile

CORPUS = "/usr/lib/python3.11/test/test_email/data"


def attachment_message(path, size, kind):
    # Random bytes base64-encoded (what the engine must decode) or plain text lines (what it
    # reads as they are).
    if kind == "base64":
        body = base64.encodebytes(os.urandom(size)).replace(b"\n", b"\r\n")
        part = (b"Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n"
                b"Content-Disposition: attachment; filename=\"data.bin\"\r\n\r\n" + body)
    else:
        line = b"a line of plain text in a large attachment, nothing in it to find\r\n"
        part = (b"Content-Type: text/plain\r\nContent-Disposition: attachment; filename=\"notes.txt\"\r\n\r\n" +
                line * (size // len(line)))
    msg = (b"From: a@example.org\r\nTo: b@example.org\r\nSubject: large\r\nMIME-Version: 1.0\r\n"
           b"Content-Type: multipart/mixed; boundary=\"bb\"\r\n\r\n--bb\r\nContent-Type: text/plain\r\n\r\n"
           b"attached\r\n--bb\r\n" + part + b"\r\n--bb--\r\n")
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, "large.eml"), "wb") as f:
        f.write(msg)
    return path


def run(binary, runtime, service_args, hook_args):
    env = dict(os.environ, MAILHOOK_RUNTIME_DIR=runtime, MAILHOOK_LOG="")
    service = subprocess.Popen([binary, "service"] + service_args, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env=env, text=True)
    if service.stdout.readline().strip() != "ready":
        service.kill()
        sys.exit("the service did not start: " + service.stderr.read())
    hook = subprocess.run([binary, "hook", "--threads", "1", "--no-verify", "--quiet", "--json"] + hook_args,
                          capture_output=True, env=env, text=True)
    service.send_signal(signal.SIGTERM)
    _, err = service.communicate()
    summary = json.loads(re.search(r"\{\"messages\".*\}", hook.stdout).group(0))
    if hook.returncode != 0 or summary["failed"] != 0:
        sys.exit("the hook failed: " + hook.stdout + hook.stderr)
    engine = float(re.search(r"([0-9.]+) s in the engine", err).group(1))
    return summary["messages"], summary["bytes"], summary["seconds"], engine


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", default="build/ci/bin/mailhook")
    ap.add_argument("--out")
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()

    work = tempfile.mkdtemp(prefix="mailhook-scan-bench-")
    runtime = os.path.join(work, "rt")
    cases = []
    if os.path.isdir(CORPUS):
        cases.append(("Python test-suite corpus", CORPUS, 40))
    cases.append(("1 MiB base64 attachment", attachment_message(os.path.join(work, "b1"), 1 << 20, "base64"), 40))
    cases.append(("10 MiB base64 attachment", attachment_message(os.path.join(work, "b10"), 10 << 20, "base64"), 12))
    cases.append(("10 MiB text attachment", attachment_message(os.path.join(work, "t10"), 10 << 20, "text"), 12))

    rows = []
    for name, path, repeat in cases:
        results = {"builtin": [], "engine": []}
        for _ in range(args.rounds):
            for mode in ("builtin", "engine"):
                service_args = ["--builtin"] if mode == "builtin" else []
                results[mode].append(run(args.bin, runtime, service_args, ["--input", path, "--repeat", str(repeat)]))
        med = {m: [statistics.median(r[i] for r in results[m]) for i in range(4)] for m in results}
        n, size = med["engine"][0], med["engine"][1]
        mib = size / (1 << 20)
        road_s = (med["builtin"][2] - med["builtin"][3]) / n  # the road alone, per message
        engine_s = med["engine"][3] / n
        rows.append((name, int(n), mib / n, n / med["builtin"][2], mib / med["builtin"][2], n / med["engine"][2],
                     mib / med["engine"][2], engine_s * 1e3, mib / med["engine"][3], road_s * 1e3,
                     engine_s / road_s))

    load = open("/proc/loadavg").read().split()[0]
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    out = [
        f"Scanning against carrying, {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC, "
        f"{os.cpu_count()} cores ({cpu}), Linux {platform.release()}; one hook thread, no round-trip checks, "
        f"median of {args.rounds} alternating runs; load average {load} at the end (a shared machine). "
        "`tools/bench_scan.py` reproduces it.",
        "",
        "| input | messages | MiB/message | carried, built-in scan: msg/s | MiB/s | carried, engine: msg/s | MiB/s "
        "| engine alone: ms/message | MiB/s | road alone: ms/message | engine / road time |",
        "|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in rows:
        out.append(f"| {r[0]} | {r[1]} | {r[2]:.3f} | {r[3]:.0f} | {r[4]:.1f} | {r[5]:.0f} | {r[6]:.1f} "
                   f"| {r[7]:.3f} | {r[8]:.1f} | {r[9]:.3f} | {r[10]:.1f}x |")
    out += [
        "",
        "- *carried*: the hook's whole run (write the message into the pooled files, the request, the service's",
        "  receiver, its scan, the verdict headers, read back), per second of the hook's wall time.",
        "- *engine alone*: the service's time inside the engine's scan call, per message and per MiB scanned.",
        "- *road alone*: the built-in run's time per message less its built-in scan: what carrying costs.",
        "- *engine / road time*: how many times the road's own cost the engine adds to each message.",
    ]
    text = "\n".join(out) + "\n"
    if args.out:
        with open(args.out, "w") as f:
            f.write(text)
    sys.stdout.write(text)
    subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    main()
