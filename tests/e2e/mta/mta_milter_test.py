#!/usr/bin/env python3
"""`mailhook milter` in a real Postfix: a private Postfix on 127.0.0.1 relaying to smtp-sink,
`mailhook service` and `mailhook milter` as real processes, messages sent by SMTP and read back
from the sink's files.

    mta_milter_test.py --mailhook BIN --signatures DIR --scan-messages scan_messages.py

--against clamav runs the same cases against Debian's clamav-milter and clamd (installed by
tools/bench.sh, not by CI): what they reject proves the test's messages and checks, not mailhook.
Needs root (Postfix). Exits 77 (skipped) when not root.
"""
import argparse
import base64
import collections
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mta_harness as h  # noqa: E402

CORPUS = "/usr/lib/python3.11/test/test_email/data"
SIGNATURE = "EICAR-Test-File.UNOFFICIAL"
# scan_messages.py's hidden/ messages that carry the test file: raw in a part, base64, zipped,
# quoted-printable, forwarded, forwarded and zipped. near.eml is one byte off: clean.
INFECTED = ("raw.eml", "b64.eml", "zip.eml", "qp.eml", "fwd.eml", "fwdzip.eml")
ARGS = None
# Time-outs are a few times what a case takes; a sanitizer's build scans a 20 MiB message several
# times slower (ThreadSanitizer: 20 s against 1 s), and gets them times this.
SLOW = 1


class MailhookSide:
    """mailhook's service and milter; the header it adds and what it writes there."""
    header, clean, also_own = "X-Mailhook-Scan", "clean", set()

    def __init__(self, root):
        self.impl = h.Mailhook(ARGS.mailhook, root, ARGS.signatures, h.ScanLimits(scan_ms=30000 * SLOW),
                               milter_args=["--retry-for", "1", "--max-message", str(64 << 20)],
                               rpc_timeout_ms=30000 * SLOW)
        self.socket, self.milter, self.scanner = self.impl.socket, self.impl.milter, self.impl.service

    def log_lines(self, qids):
        """The milter's log lines (one per message) for the queue ids among `qids`, by queue id."""
        lines = {}
        for line in self.milter.log().splitlines():
            m = re.search(r"\bqueue=(\w+)", line)
            if m and m.group(1) in qids:
                lines[m.group(1)] = line
        return lines


class ClamavSide:
    header, clean, also_own = "X-Virus-Status", "Clean", {b"x-virus-scanned"}

    def __init__(self, root):
        self.impl = h.ClamavReference(root, ARGS.signatures)
        self.socket, self.milter, self.scanner = self.impl.socket, self.impl.milter, self.impl.clamd

    def log_lines(self, qids):
        return {q: "verdict=clean (not checked)" for q in qids}


def note(tag, body=b"A short note.\r\n", subject=None):
    """A plain message that says who it is in its Message-ID and an X-Test-Id field."""
    return (b"From: Alice <alice@client.mailhook.test>\r\nTo: Bob <bob@dest.mailhook.test>\r\n"
            b"Subject: " + (subject or tag).encode() + b"\r\nMessage-ID: <" + tag.encode() +
            b"@client.mailhook.test>\r\nX-Test-Id: " + tag.encode() + b"\r\n\r\n" + body)


def split_sent(message):
    """A sent message's header and body as Postfix hands them on: LF line ends; the header ends at
    the first line that is no header field (a missing empty line is put in), an mbox "From " line
    becomes an X-Mailbox-Line field, and Return-Path is dropped (the envelope sender is Postfix's
    to write)."""
    text = h.lf_lines(message)
    if text.startswith(b"From "):
        text = b"X-Mailbox-Line: " + text
    lines = text.split(b"\n")[:-1]
    i = 0
    while i < len(lines) and (re.match(rb"[!-9;-~]+[ \t]*:", lines[i]) or i and lines[i][:1] in (b" ", b"\t")):
        i += 1
    header = b"".join(l + b"\n" for l in lines[:i])
    body = lines[i + 1:] if i < len(lines) and lines[i] == b"" else lines[i:]
    return without_fields(header, {b"return-path"}), b"".join(l + b"\n" for l in body)


def without_fields(header, names):
    """`header` without the fields called any of `names` (their continuation lines too)."""
    out, skipping = [], False
    for line in header.split(b"\n")[:-1]:
        if line[:1] in (b" ", b"\t"):
            if not skipping:
                out.append(line)
            continue
        skipping = line.split(b":", 1)[0].strip().lower() in names
        if not skipping:
            out.append(line)
    return b"".join(l + b"\n" for l in out)


def without_own_received(header):
    """A delivered header without the Received field Postfix added (first, unless a milter
    inserted fields above it)."""
    lines = header.split(b"\n")
    at = next((i for i, l in enumerate(lines) if l.startswith(b"Received: from client.mailhook.test")), None)
    assert at is not None, "no Received field of Postfix's in %r" % header
    end = at + 1
    while lines[end][:1] in (b" ", b"\t"):
        end += 1
    return b"\n".join(lines[:at] + lines[end:])


class MtaMilterTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = h.work_folder("mailhook-mta-test-")
        cls.side = (ClamavSide if ARGS.against == "clamav" else MailhookSide)(cls.root)
        cls.addClassCleanup(cls.side.impl.stop)
        cls.side.impl.start()
        cls.postfix = h.PrivatePostfix(os.path.join(cls.root, "postfix"), milter=cls.side.socket,
                                       milter_timeouts=(5, 10 * SLOW, 30 * SLOW))
        cls.postfix.start()
        cls.addClassCleanup(cls.postfix.stop)
        subprocess.run([sys.executable, ARGS.scan_messages, os.path.join(cls.root, "messages")], check=True)

    def setUp(self):
        # A case that failed half-way may leave the scanner or the milter stopped.
        for d in (self.side.scanner, self.side.milter):
            if not d.alive():
                d.start()
        self.started = time.monotonic()

    def tearDown(self):
        print("(%.1f s)" % (time.monotonic() - self.started), end=" ", file=sys.stderr, flush=True)

    def delivered(self, replies, timeout=60):
        """Waits until every accepted message of `replies` is in the sink; their sink copies by
        queue id (each a list: two copies would be a duplicate)."""
        qids = [r.qid for r in replies]
        self.assertTrue(all(qids), "not every message was accepted: %s" % [r for r in replies if not r.qid])
        self.postfix.wait_delivered(qids, timeout)
        by_qid = self.postfix.sink_by_qid()
        missing = [q for q in qids if q not in by_qid]
        self.assertFalse(missing, "Postfix says sent, the sink has no file for %s" % missing)
        return {q: by_qid[q] for q in qids}

    def assert_scanned(self, delivered, sent, what):
        """One copy delivered, body byte for byte as sent, the header as sent plus Postfix's
        Received and exactly one scan header saying clean."""
        self.assertEqual(len(delivered), 1, "%s delivered %d times" % (what, len(delivered)))
        got = delivered[0]
        header, body = split_sent(sent)
        self.assertEqual(got.body, body, "%s: body changed (%s)" % (what, got.path))
        verdicts = got.fields(self.side.header)
        self.assertEqual(len(verdicts), 1, "%s: %s fields %r" % (what, self.side.header, verdicts))
        self.assertTrue(verdicts[0].startswith(self.side.clean), "%s: %s" % (what, verdicts[0]))
        # Written as every other field is, "Name: value".
        line = re.search(rb"(?mi)^%s:.*$" % self.side.header.encode(), got.header).group(0)
        self.assertTrue(line.startswith(self.side.header.encode() + b": "), "%s: %r" % (what, line))
        # The scanner's own fields replace any the message came with.
        names = {self.side.header.lower().encode()} | self.side.also_own
        self.assertEqual(without_fields(without_own_received(got.header), names), without_fields(header, names),
                         "%s: header fields changed (%s)" % (what, got.path))

    def test_corpus_delivered_unchanged_with_verdict(self):
        """The Python corpus, one transaction after another on one connection: each message
        accepted, in the sink once, its body and header fields as sent, one clean verdict."""
        names = sorted(n for n in os.listdir(CORPUS) if re.fullmatch(r"msg_\w+\.txt", n))
        self.assertGreater(len(names), 40, "the corpus (libpython3.11-testsuite) is missing")
        sent, replies = {}, []
        client = h.connect(self.postfix.port)
        try:
            for n in names:
                with open(os.path.join(CORPUS, n), "rb") as f:
                    sent[n] = f.read()
                replies.append(h.send_on(client, sent[n]))
        finally:
            client.quit()
        refused = ["%s: %r" % (n, r) for n, r in zip(names, replies) if r.code != 250]
        self.assertFalse(refused, "refused: %s" % refused)
        delivered = self.delivered(replies)
        for n, r in zip(names, replies):
            self.assert_scanned(delivered[r.qid], sent[n], n)
        qids = {r.qid for r in replies}

        def all_logged():
            got = self.side.log_lines(qids)
            return got if len(got) == len(qids) else None

        lines = h.wait_for("a log line of the milter for each message", all_logged, 10)
        unclean = [line for line in lines.values() if not re.search(r"\bverdict=\"?clean\b", line)]
        self.assertFalse(unclean, "log lines without verdict=clean")

    def test_test_file_refused_wherever_hidden(self):
        """The anti-virus test file plain, base64, zipped, quoted-printable and forwarded: each
        refused at the end of data with 550 naming the signature, none delivered; the same
        attachment one byte off is accepted as clean."""
        folder = os.path.join(self.root, "messages", "hidden")
        for n in INFECTED:
            with open(os.path.join(folder, n), "rb") as f:
                r = self.postfix.send(f.read())
            with self.subTest(message=n):
                self.assertEqual((r.stage, r.code), ("end", 550), "%s: %r" % (n, r))
                self.assertIn("5.7.1", r.text)
                self.assertIn("infected: " + SIGNATURE, r.text)
        with open(os.path.join(folder, "near.eml"), "rb") as f:
            near = f.read()
        r = self.postfix.send(near)
        self.assertEqual(r.code, 250, "near.eml: %r" % r)
        self.assert_scanned(self.delivered([r])[r.qid], near, "near.eml")
        subjects = {s for m in self.postfix.sink_messages() for s in m.fields("Subject")}
        leaked = subjects & {n[:-4] for n in INFECTED}
        self.assertFalse(leaked, "delivered although refused: %s" % leaked)

    def test_service_down_tempfails_then_the_retry_is_accepted(self):
        """Scanner stopped: the message is refused for now with 451 4.7.1 and nothing delivered;
        scanner started again: the client's retry of the same message is accepted and scanned."""
        message = note("service-down-retry")
        self.side.scanner.stop()
        r = self.postfix.send(message)
        self.assertEqual((r.stage, r.code), ("end", 451), "with the scanner stopped: %r" % r)
        self.assertIn("4.7.1", r.text)
        self.side.scanner.start()
        # A client retries later; how much later is its own business: the first retry that is
        # accepted within a deadline will do.
        tries = []

        def retried():
            tries.append(self.postfix.send(message))
            return tries[-1].code == 250

        try:
            h.wait_for("the retry to be accepted", retried, timeout=30, interval=1)
        except TimeoutError as e:
            self.fail("%s: %r" % (e, tries[-3:]))
        r = tries[-1]
        if len(tries) > 1:
            print("(accepted at try %d; before: %r)" % (len(tries), tries[:-1][-1]), end=" ", file=sys.stderr)
        delivered = self.delivered([r])
        self.assert_scanned(delivered[r.qid], message, "the retry")
        copies = [m for m in self.postfix.sink_messages() if m.fields("X-Test-Id") == ["service-down-retry"]]
        self.assertEqual(len(copies), 1, "the refused try was delivered too")

    def test_twenty_mib_messages(self):
        """A 20 MiB message is delivered whole and scanned; the test file after 20 MiB of text is
        found: the scanner saw the body to its end."""
        line = b"twenty mebibytes of plain text, nothing in it to find, line after line\r\n"
        filler = line * ((20 << 20) // len(line))
        large = note("large-clean", filler)
        r = self.postfix.send(large, timeout=60 * SLOW)
        self.assertEqual(r.code, 250, "20 MiB: %r" % r)
        self.assert_scanned(self.delivered([r], timeout=120)[r.qid], large, "the 20 MiB message")
        with open(os.path.join(self.root, "messages", "hidden", "b64.eml"), "rb") as f:
            attachment = f.read().split(b"\r\n\r\n", 1)[1]  # a multipart body holding the test file
        tail = note("large-infected", filler + attachment).replace(
            b"\r\n\r\n", b"\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"=-b-b64\"\r\n\r\n", 1)
        r = self.postfix.send(tail, timeout=60 * SLOW)
        self.assertEqual((r.stage, r.code), ("end", 550), "the test file after 20 MiB: %r" % r)
        self.assertIn("infected: " + SIGNATURE, r.text)

    def test_eight_connections_at_once_lose_and_repeat_nothing(self):
        """8 connections sending 200 messages each at the same time: every one accepted, in the
        sink exactly once, scanned clean."""
        threads, per_thread = 8, 200
        replies = [[] for _ in range(threads)]
        failures = []

        def sender(t):
            try:
                client = h.connect(self.postfix.port)
                try:
                    for i in range(per_thread):
                        replies[t].append(h.send_on(client, note("burst-%d-%d" % (t, i))))
                finally:
                    client.quit()
            except Exception as e:  # reported below with the thread's number
                failures.append("connection %d: %r" % (t, e))

        workers = [threading.Thread(target=sender, args=(t,)) for t in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join(timeout=300)
        self.assertFalse([w for w in workers if w.is_alive()], "senders still running after 300 s")
        self.assertFalse(failures)
        flat = [r for rs in replies for r in rs]
        refused = [r for r in flat if r.code != 250]
        self.assertFalse(refused, "%d refused, e.g. %r" % (len(refused), refused[:3]))
        self.assertEqual(len(flat), threads * per_thread)
        delivered = self.delivered(flat, timeout=180)
        ids = collections.Counter(f for copies in delivered.values() for m in copies for f in m.fields("X-Test-Id"))
        expected = {"burst-%d-%d" % (t, i) for t in range(threads) for i in range(per_thread)}
        self.assertEqual(set(ids), expected, "ids lost or unknown")
        self.assertEqual([i for i, c in ids.items() if c != 1], [], "ids delivered more than once")
        for t in range(threads):
            for i, r in enumerate(replies[t]):
                self.assert_scanned(delivered[r.qid], note("burst-%d-%d" % (t, i)), "burst %d/%d" % (t, i))

    def test_milter_killed_mid_message_then_restarted(self):
        """The milter killed (SIGKILL) while a message is half sent: Postfix answers 4xx for it
        (milter_default_action = tempfail); a milter started again serves the next message."""
        conn = socket.create_connection(("127.0.0.1", self.postfix.port), timeout=60)
        reader = conn.makefile("rb")

        def command(line, expect):
            if line:
                conn.sendall(line)
            reply = b""
            while True:
                got = reader.readline()
                self.assertTrue(got, "Postfix closed the connection after %r" % line)
                reply += got
                if got[3:4] != b"-":
                    break
            self.assertTrue(reply.startswith(expect), "%r answered %r" % (line, reply))
            return reply

        try:
            command(None, b"220")
            command(b"EHLO client.mailhook.test\r\n", b"250")
            command(b"MAIL FROM:<sender@client.mailhook.test>\r\n", b"250")
            command(b"RCPT TO:<rcpt@dest.mailhook.test>\r\n", b"250")
            command(b"DATA\r\n", b"354")
            message = note("killed-mid-message")
            conn.sendall(message[:60])
            self.side.milter.kill()
            conn.sendall(message[60:] + b".\r\n")
            reply = command(None, b"4")
            self.assertIn(b"4.7.1", reply)
        finally:
            reader.close()
            conn.close()
        self.side.milter.start()
        message = note("after-restart")
        r = self.postfix.send(message)
        self.assertEqual(r.code, 250, "after the restart: %r" % r)
        self.assert_scanned(self.delivered([r])[r.qid], message, "the message after the restart")
        self.assertFalse([m for m in self.postfix.sink_messages() if m.fields("X-Test-Id") == ["killed-mid-message"]],
                         "the message refused for now was delivered")

    def with_milter_args(self, *args):
        """The milter started again with `args` after its own; the usual one again afterwards."""
        if ARGS.against == "clamav":
            self.skipTest("mailhook's own options")
        milter = self.side.milter
        usual = list(milter.argv)
        argv = list(usual)
        for name, value in zip(args[::2], args[1::2]):
            if name in argv:
                argv[argv.index(name) + 1] = value
            else:
                argv += [name, value]
        milter.stop()
        milter.argv = argv
        milter.start()

        def restore():
            milter.stop()
            milter.argv = usual
            milter.start()

        self.addCleanup(restore)

    def postfix_logged(self, qid, pattern):
        """Postfix's log line for `qid` that matches `pattern`, within a deadline."""
        return h.wait_for("Postfix to log %s for %s" % (pattern, qid), lambda: re.search(
            r"(?m)^.*\b%s: .*%s.*$" % (qid, pattern), self.postfix.log()), 30).group(0)

    def infected_message(self):
        with open(os.path.join(self.root, "messages", "hidden", "b64.eml"), "rb") as f:
            return f.read()

    def test_infected_tagged_is_delivered_replaced_and_saying_so(self):
        """--on-infected tag: accepted, delivered once with the verdict in the scan field, its body
        the service's notice, its content fields the notice's (the multipart type gone)."""
        self.with_milter_args("--on-infected", "tag")
        r = self.postfix.send(self.infected_message())
        self.assertEqual(r.code, 250, "tagged: %r" % r)
        got = self.delivered([r])[r.qid]
        self.assertEqual(len(got), 1)
        self.assertEqual(len(got[0].fields(MailhookSide.header)), 1)
        self.assertTrue(got[0].fields(MailhookSide.header)[0].startswith("infected: " + SIGNATURE),
                        got[0].fields(MailhookSide.header))
        self.assertIn(b"carried malware and was replaced", got[0].body)
        self.assertNotIn(b"EICAR", got[0].body)
        self.assertEqual([v.split(";")[0].strip() for v in got[0].fields("Content-Type")], ["text/plain"])
        self.assertEqual(got[0].fields("Content-Transfer-Encoding"), [])

    def test_infected_discarded_or_held(self):
        """--on-infected discard: accepted and dropped by Postfix, never delivered;
        --on-infected quarantine: accepted into Postfix's hold queue, not delivered."""
        self.with_milter_args("--on-infected", "discard")
        r = self.postfix.send(self.infected_message())
        self.assertEqual(r.code, 250, "discarded: %r" % r)
        self.postfix_logged(r.qid, "milter-discard")
        self.doCleanups()

        self.with_milter_args("--on-infected", "quarantine")
        held = self.postfix.send(self.infected_message())
        self.assertEqual(held.code, 250, "held: %r" % held)
        self.postfix_logged(held.qid, "milter-hold")
        queue = subprocess.run(["/usr/sbin/postqueue", "-c", self.postfix.config, "-j"], capture_output=True,
                               text=True, check=True).stdout
        self.assertIn('"queue_name": "hold"', next(l for l in queue.splitlines() if held.qid in l))
        self.assertNotIn(r.qid, self.postfix.sink_by_qid())
        self.assertNotIn(held.qid, self.postfix.sink_by_qid())

    def test_unavailable_or_oversize_accepted_saying_so_or_refused(self):
        """--on-unavailable accept: with the scanner stopped, delivered with a scan field saying it
        was not scanned; --max-message: a larger message delivered saying so, or refused with 552
        under --on-oversize reject."""
        self.with_milter_args("--on-unavailable", "accept", "--max-message", "4096")
        big = note("too-large", b"x" * 8000 + b"\r\n")
        r = self.postfix.send(big)
        self.assertEqual(r.code, 250, "oversize: %r" % r)
        field = self.delivered([r])[r.qid][0].fields(MailhookSide.header)
        self.assertEqual(len(field), 1)
        self.assertTrue(field[0].startswith("not scanned: message larger than 4096 bytes"), field)
        self.side.scanner.stop()
        try:
            down = self.postfix.send(note("scanner-down-accepted"))
        finally:
            self.side.scanner.start()
        self.assertEqual(down.code, 250, "scanner down: %r" % down)
        field = self.delivered([down])[down.qid][0].fields(MailhookSide.header)
        self.assertEqual(len(field), 1)
        self.assertTrue(field[0].startswith("not scanned: service unavailable"), field)
        self.doCleanups()

        self.with_milter_args("--max-message", "4096", "--on-oversize", "reject")
        r = self.postfix.send(note("too-large-refused", b"x" * 8000 + b"\r\n"))
        self.assertEqual((r.stage, r.code), ("end", 552), "oversize refused: %r" % r)
        self.assertIn("5.3.4", r.text)


def main():
    global ARGS, SLOW
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--mailhook", help="the mailhook command")
    ap.add_argument("--signatures", required=True, help="signature folder (tools/mailhook/signatures)")
    ap.add_argument("--scan-messages", required=True, help="tests/e2e/scan_messages.py")
    ap.add_argument("--against", choices=("mailhook", "clamav"), default="mailhook")
    ap.add_argument("--keep", action="store_true", help="keep the temporary folder (logs, sink files)")
    ARGS, rest = ap.parse_known_args()
    if os.getuid() != 0:
        print("skipped: a private Postfix needs root")
        return 77
    missing = h.missing_tools()
    if missing:
        sys.exit("missing: " + missing)
    if ARGS.against == "mailhook" and not ARGS.mailhook:
        sys.exit("--mailhook is needed")
    if ARGS.against == "mailhook" and h.sanitized(ARGS.mailhook):
        SLOW = 10
    started = time.monotonic()
    result = unittest.main(module=sys.modules[__name__], argv=[sys.argv[0], "-v"] + rest, exit=False).result
    print("%.1f s" % (time.monotonic() - started))
    root = getattr(MtaMilterTest, "root", None)
    if root and (ARGS.keep or not result.wasSuccessful()):
        print("logs and sink files kept in", root)
    elif root:
        shutil.rmtree(root, ignore_errors=True)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
