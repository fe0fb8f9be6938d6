"""A private Postfix for tests and benchmarks: its configuration, queue, data and log under one
temporary folder, listening on 127.0.0.1 only, relaying everything to Postfix's smtp-sink, which
keeps each message as a file. The machine's own Postfix is never changed or started.

Every daemon started here is also handed to a reaper process in a session of its own: if the test
dies before it stops them (an assertion, a signal, CTest's time-out killing it), the reaper sees its
pipe close and ends them, so no Postfix is left running.

Python 3 standard library only. Needs root: Postfix's master runs as root and smtp-sink switches to
the postfix user itself.
"""
import atexit
import os
import pwd
import re
import shutil
import signal
import smtplib
import socket
import subprocess
import sys
import tempfile
import threading
import time

POSTFIX_USER = "postfix"
SBIN = "/usr/sbin"


def wait_for(what, check, timeout, interval=0.05):
    """Calls check() until it returns something true, and returns that; fails naming `what` after
    `timeout` seconds."""
    end = time.monotonic() + timeout
    while True:
        result = check()
        if result:
            return result
        if time.monotonic() >= end:
            raise TimeoutError("gave up after %g s waiting for %s" % (timeout, what))
        time.sleep(interval)


def free_port():
    """A TCP port on 127.0.0.1 that nobody listened on a moment ago."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


def missing_tools():
    """What this machine lacks for a private Postfix, as text; empty when nothing."""
    missing = [p for p in ("postfix", "postconf", "smtp-sink", "smtp-source") if not shutil.which(p, path=SBIN)]
    try:
        pwd.getpwnam(POSTFIX_USER)
    except KeyError:
        missing.append("the postfix user")
    return ", ".join(missing)


_REAPER = r"""
import os, signal, sys, time
groups = set()
for line in sys.stdin:
    op, pgid = line.split()
    (groups.add if op == "+" else groups.discard)(int(pgid))
def alive(g):
    try:
        os.killpg(g, 0)
        return True
    except ProcessLookupError:
        return False
for sig in (signal.SIGTERM, signal.SIGKILL):
    for g in groups:
        try:
            os.killpg(g, sig)
        except ProcessLookupError:
            pass
    end = time.monotonic() + 5
    while any(alive(g) for g in groups) and time.monotonic() < end:
        time.sleep(0.05)
"""


class Reaper:
    """Ends the process groups handed to it once this process stops talking to it (exits or
    dies). Groups stopped normally are taken back with Forget."""

    def __init__(self):
        self._proc = subprocess.Popen([sys.executable, "-c", _REAPER], stdin=subprocess.PIPE,
                                       start_new_session=True)
        self._lock = threading.Lock()

    def watch(self, pgid):
        self._say("+ %d\n" % pgid)

    def forget(self, pgid):
        self._say("- %d\n" % pgid)

    def _say(self, line):
        with self._lock:
            self._proc.stdin.write(line.encode())
            self._proc.stdin.flush()

    def close(self):
        self._proc.stdin.close()
        self._proc.wait(timeout=30)


_reaper = None


def reaper():
    global _reaper
    if _reaper is None:
        _reaper = Reaper()
        atexit.register(_reaper.close)
    return _reaper


def group_alive(pgid):
    try:
        os.killpg(pgid, 0)
        return True
    except ProcessLookupError:
        return False


def cpu_seconds(pid):
    """utime + stime of a process (all its threads) so far, in seconds."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Daemon:
    """A long-running child in a process group of its own, watched by the reaper. Ready when it
    prints `ready` (a line) on stdout, or when `ready` (a callable) returns true. stderr goes to
    LOGDIR/NAME.log; stdout lines are kept in `lines`. `clean_exit`: stop() fails unless SIGTERM
    ends it with status 0 (a crash, or a sanitizer's report at exit, shows there)."""

    def __init__(self, name, argv, log_dir, env=None, ready=b"ready", cwd=None, clean_exit=False):
        self.name, self.argv, self.env, self.ready, self.cwd = name, argv, env, ready, cwd
        self.clean_exit = clean_exit
        self._killed = False
        self.log_path = os.path.join(log_dir, name + ".log")
        self.proc = None
        self.lines = []
        self._seen = threading.Condition()

    def start(self, timeout=30):
        log = open(self.log_path, "ab")
        self.lines = []
        self._killed = False
        self.proc = subprocess.Popen(self.argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log,
                                     env=self.env, cwd=self.cwd, start_new_session=True)
        log.close()
        reaper().watch(self.proc.pid)
        threading.Thread(target=self._read, args=(self.proc,), daemon=True).start()
        try:
            if callable(self.ready):
                wait_for("%s to be ready" % self.name, lambda: self._exited() or self.ready(), timeout)
            else:
                with self._seen:
                    ok = self._seen.wait_for(lambda: self.ready in self.lines or self.proc.poll() is not None,
                                              timeout)
                if not ok:
                    raise TimeoutError("gave up after %g s waiting for %s to print %r" %
                                       (timeout, self.name, self.ready.decode()))
            if self.proc.poll() is not None:
                tail = self.log_tail()
                raise RuntimeError("%s exited with %s while starting; its log ends: %s\n%s" % (
                    self.name, self.proc.returncode, (tail.splitlines() or [""])[-1], tail))
        except BaseException:
            self.kill()
            raise
        return self

    def _exited(self):
        return self.proc.poll() is not None

    def _read(self, proc):
        for line in proc.stdout:
            with self._seen:
                self.lines.append(line.rstrip(b"\n"))
                self._seen.notify_all()
        with self._seen:
            self._seen.notify_all()

    @property
    def pid(self):
        return self.proc.pid

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def stop(self, timeout=15):
        """SIGTERM and wait; SIGKILL (and a failure) if it does not stop in time."""
        if self.proc is None:
            return
        stopped = True
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                stopped = False
        deliberate = self._killed
        self.kill()
        if not stopped:
            raise TimeoutError("%s did not stop within %g s of SIGTERM (killed)" % (self.name, timeout))
        if self.clean_exit and not deliberate and self.proc.returncode != 0:
            raise RuntimeError("%s ended with status %d, not 0, on SIGTERM; its log ends:\n%s" % (
                self.name, self.proc.returncode, self.log_tail()))

    def kill(self):
        """SIGKILL to its process group, and wait."""
        if self.proc is None:
            return
        self._killed = self._killed or self.proc.poll() is None
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait(timeout=30)
        self.proc.stdout.close()
        reaper().forget(self.proc.pid)

    def log(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode(errors="replace")
        except OSError:
            return ""

    def log_tail(self, lines=30):
        return "\n".join(self.log().splitlines()[-lines:])


def chown_postfix(path):
    pw = pwd.getpwnam(POSTFIX_USER)
    os.chown(path, pw.pw_uid, pw.pw_gid)


class SmtpSink:
    """Postfix's smtp-sink on 127.0.0.1, keeping each message as a file in `folder`."""

    def __init__(self, root, keep=True, folder=None):
        self.folder = folder or os.path.join(root, "sink")
        os.makedirs(self.folder, exist_ok=True)
        chown_postfix(self.folder)  # it writes as the user it switches to
        self.port = free_port()
        argv = [os.path.join(SBIN, "smtp-sink"), "-4", "-h", "sink.mailhook.test"]
        if os.getuid() == 0:
            argv += ["-u", POSTFIX_USER]
        if keep:
            # The second and a random number: two messages would need both to collide.
            argv += ["-d", os.path.join(self.folder, "%s.")]
        argv += ["127.0.0.1:%d" % self.port, "256"]
        self.daemon = Daemon("smtp-sink", argv, root, ready=lambda: listening(self.port))
        self._read_cache = {}

    def start(self):
        self.daemon.start()

    def stop(self):
        self.daemon.stop()

    def files(self):
        return sorted(os.path.join(self.folder, n) for n in os.listdir(self.folder))

    def messages(self, complete=()):
        """Every message kept so far, as the MTA sent it (the sink's own lines taken off). A file
        still being written may look whole: only those of the queue ids in `complete` (the MTA
        logged the sink's answer to them) are not read again next time."""
        out = []
        for path in self.files():
            m = self._read_cache.get(path)
            if m is None:
                with open(path, "rb") as f:
                    data = f.read()
                try:
                    m = SinkMessage(path, data)
                except ValueError:
                    continue
                if m.qid in complete:
                    self._read_cache[path] = m
            out.append(m)
        return out


_SINK_FIELDS = (b"X-Client-Addr:", b"X-Client-Proto:", b"X-Helo-Args:", b"X-Mail-Args:", b"X-Rcpt-Args:")


class SinkMessage:
    """One smtp-sink dump file: its own X-… lines and a three-line Received header, the message
    with LF line ends, and an empty line it adds at the end."""

    def __init__(self, path, data):
        self.path = path
        lines = data.split(b"\n")
        i = 0
        while i < len(lines) and lines[i].startswith(_SINK_FIELDS):
            i += 1
        if i == len(lines) or not lines[i].startswith(b"Received:"):
            raise ValueError("%s is not an smtp-sink dump file" % path)
        i += 1
        while i < len(lines) and lines[i][:1] in (b" ", b"\t"):
            i += 1
        text = b"\n".join(lines[i:])
        if not text.endswith(b"\n\n"):
            raise ValueError("%s is cut short (no final empty line)" % path)
        self.message = text[:-1]
        self.header, sep, self.body = self.message.partition(b"\n\n")
        if not sep:
            self.header, self.body = self.message, b""
        self.header += b"\n"
        m = re.search(rb"\(Postfix\) with E?SMTP id (\w+)", self.header)
        self.qid = m.group(1).decode() if m else None

    def fields(self, name):
        return header_fields(self.header, name)


def header_fields(header, name):
    """The values of the fields called `name` in a message header (unfolded, as text)."""
    out = []
    for line in re.sub(rb"\n[ \t]", b" ", header).split(b"\n"):
        key, sep, value = line.partition(b":")
        if sep and key.strip().lower() == name.lower().encode():
            out.append(value.strip().decode(errors="replace"))
    return out


def lf_lines(message):
    """A message's bytes as an MTA hands them on: LF line ends, ending in a line end."""
    out = message.replace(b"\r\n", b"\n")
    return out if out.endswith(b"\n") else out + b"\n"


def crlf_lines(message):
    """A message's bytes as an SMTP client sends them: CRLF line ends, ending in one."""
    return lf_lines(message).replace(b"\n", b"\r\n")


class Reply:
    """How an SMTP transaction ended: the stage that answered last (connect, mail, rcpt, data or
    end), its code and text; `qid` is the queue id of an accepted message."""

    def __init__(self, stage, code, text):
        self.stage, self.code, self.text = stage, code, text
        m = re.search(r"queued as (\w+)", text) if code == 250 and stage == "end" else None
        self.qid = m.group(1) if m else None

    def __repr__(self):
        return "%s %d %s" % (self.stage, self.code, self.text)


def send_on(client, message, sender="sender@client.mailhook.test", recipients=("rcpt@dest.mailhook.test",)):
    """One transaction on an open smtplib client; the message's line ends are made CRLF."""
    code, text = client.mail(sender)
    if code != 250:
        client.rset()
        return Reply("mail", code, text.decode(errors="replace"))
    for r in recipients:
        code, text = client.rcpt(r)
        if code not in (250, 251):
            client.rset()
            return Reply("rcpt", code, text.decode(errors="replace"))
    try:
        code, text = client.data(crlf_lines(message))
    except smtplib.SMTPDataError as e:  # DATA itself refused
        client.rset()
        return Reply("data", e.smtp_code, e.smtp_error.decode(errors="replace"))
    return Reply("end", code, text.decode(errors="replace"))


def connect(port, timeout=60):
    client = smtplib.SMTP("127.0.0.1", port, local_hostname="client.mailhook.test", timeout=timeout)
    client.ehlo()
    return client


def send(port, message, timeout=60, **kw):
    """One message on a connection of its own. A connection the server refuses or drops is a
    Reply too (stage connect), not an exception."""
    try:
        client = connect(port, timeout)
    except smtplib.SMTPConnectError as e:
        return Reply("connect", e.smtp_code, e.smtp_error.decode(errors="replace"))
    try:
        return send_on(client, message, **kw)
    except smtplib.SMTPServerDisconnected as e:
        return Reply("connect", 0, "disconnected: %s" % e)
    finally:
        try:
            client.quit()
        except (smtplib.SMTPException, OSError):
            client.close()


_MAIN_CF = """\
# A private instance: every path under {root}, 127.0.0.1 only, everything relayed to the sink.
compatibility_level = 3.6
queue_directory = {root}/queue
data_directory = {root}/data
mail_owner = {user}
setgid_group = postdrop
myhostname = mta.mailhook.test
mydomain = mailhook.test
myorigin = $myhostname
mydestination =
local_recipient_maps =
local_transport = error:5.1.1 no local delivery here
alias_maps =
alias_database =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
smtpd_relay_restrictions = permit_mynetworks, reject
relayhost = [127.0.0.1]:{sink_port}
maillog_file = {root}/log/postfix.log
maillog_file_prefixes = {root}/log
biff = no
smtputf8_enable = no
smtpd_tls_security_level = none
smtp_tls_security_level = none
# The messages reach the sink as the milter left them: no 8BITMIME conversion, no long lines folded.
disable_mime_output_conversion = yes
smtp_line_length_limit = 0
message_size_limit = {size_limit}
mailbox_size_limit = 0
# Headers pass as the client wrote them: no addresses completed, no Date or Message-ID added.
local_header_rewrite_clients =
# Postfix retries deferred messages quickly, in case a test leaves one behind.
queue_run_delay = 1s
minimal_backoff_time = 1s
maximal_backoff_time = 5s
"""

# Only the services this instance needs, none chrooted: a milter's Unix socket must be found at its
# real path by smtpd and cleanup, and postlog writes the log there being no syslog.
_MASTER_CF = """\
127.0.0.1:{smtp_port} inet n - n - - smtpd
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
smtp      unix  -       -       n       -       -       smtp
relay     unix  -       -       n       -       -       smtp
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
"""


def milter_for_postfix(address):
    """libmilter's `inet:PORT@HOST` as Postfix writes it (`inet:HOST:PORT`); unix: as it is."""
    m = re.fullmatch(r"inet:(\d+)@([\w.]+)", address)
    return "inet:%s:%s" % (m.group(2), m.group(1)) if m else address


class PrivatePostfix:
    """A Postfix instance under ROOT (config/, queue/, data/, log/), relaying to an smtp-sink.
    `milter`: the smtpd_milters value (libmilter's or Postfix's spelling), or None; `settings`:
    more main.cf lines; `keep`: the sink keeps each message, in `sink_folder` if given."""

    def __init__(self, root, milter=None, settings=None, keep=True, milter_timeouts=(10, 30, 60),
                 size_limit=64 << 20, sink_folder=None):
        self.root = private_folder(os.path.abspath(root))
        # Postfix's daemons run as postfix and read under the root; so does smtpd for a milter socket.
        closed = [p for p in ancestors(self.root) if not os.stat(p).st_mode & 0o001]
        if closed:
            raise PermissionError("the postfix user cannot reach %s: %s not searchable by others" %
                                  (self.root, closed[0]))
        self.config = os.path.join(self.root, "config")
        self.log_path = os.path.join(self.root, "log", "postfix.log")
        self.sink = SmtpSink(self.root, keep, sink_folder)
        self.port = free_port()
        self._master = None
        for sub in ("config", "queue", "data", "log"):
            os.makedirs(os.path.join(self.root, sub), exist_ok=True)
        chown_postfix(os.path.join(self.root, "data"))
        main = _MAIN_CF.format(root=self.root, user=POSTFIX_USER, sink_port=self.sink.port, size_limit=size_limit)
        if milter:
            connect, command, content = milter_timeouts
            main += ("smtpd_milters = %s\nmilter_default_action = tempfail\nmilter_protocol = 6\n"
                     "milter_connect_timeout = %ds\nmilter_command_timeout = %ds\nmilter_content_timeout = %ds\n"
                     % (milter_for_postfix(milter), connect, command, content))
        for key, value in (settings or {}).items():
            main += "%s = %s\n" % (key, value)
        with open(os.path.join(self.config, "main.cf"), "w") as f:
            f.write(main)
        with open(os.path.join(self.config, "master.cf"), "w") as f:
            f.write(_MASTER_CF.format(smtp_port=self.port))

    def _postfix(self, *args, timeout=60):
        return subprocess.run([os.path.join(SBIN, "postfix"), "-c", self.config] + list(args),
                              capture_output=True, text=True, timeout=timeout)

    def start(self, timeout=30):
        self.sink.start()
        try:
            started = self._postfix("start", timeout=timeout)
            pid = self._master_pid()
            if pid:
                reaper().watch(pid)  # master leads its own process group
                self._master = pid
            if started.returncode != 0 or not pid:
                raise RuntimeError("postfix start failed (%d): %s%s\n%s" % (
                    started.returncode, started.stdout, started.stderr, self.log_tail()))
            wait_for("Postfix's greeting on 127.0.0.1:%d" % self.port, self._greets, timeout)
        except BaseException:
            self.stop()
            raise
        return self

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _master_pid(self):
        try:
            with open(os.path.join(self.root, "queue", "pid", "master.pid")) as f:
                return int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            return None

    def _greets(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
                return s.recv(512).startswith(b"220 ")
        except OSError:
            return False

    def stop(self, timeout=20):
        """Stops master and every process of its group, then the sink; the group is killed if it
        is not gone in time."""
        try:
            if self._master:
                self._postfix("stop", timeout=timeout)
                try:
                    wait_for("Postfix's processes to exit", lambda: not group_alive(self._master), timeout)
                finally:
                    try:
                        os.killpg(self._master, signal.SIGKILL)
                    except ProcessLookupError:
                        pass
                    reaper().forget(self._master)
                    self._master = None
        finally:
            self.sink.stop()

    def log(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode(errors="replace")
        except OSError:
            return ""

    def log_tail(self, lines=30):
        return "\n".join(self.log().splitlines()[-lines:])

    def sent(self, log=None):
        """The queue ids Postfix has relayed to the sink (status=sent) in `log` (default: all)."""
        return re.findall(r"\b(\w+): to=<[^>]*>, relay=127\.0\.0\.1\[127\.0\.0\.1\]:%d,.*status=sent" %
                          self.sink.port, self.log() if log is None else log)

    def delivered(self, qids):
        """The queue ids among `qids` that Postfix has relayed to the sink."""
        return set(qids) & set(self.sent())

    def sink_messages(self):
        return self.sink.messages(set(self.sent()))

    def sink_by_qid(self):
        """The messages in the sink, by the queue id Postfix gave them (a list: two would be a
        duplicate)."""
        out = {}
        for m in self.sink_messages():
            out.setdefault(m.qid, []).append(m)
        return out

    def log_size(self):
        try:
            return os.path.getsize(self.log_path)
        except OSError:
            return 0

    def log_since(self, offset):
        try:
            with open(self.log_path, "rb") as f:
                f.seek(offset)
                return f.read().decode(errors="replace")
        except OSError:
            return ""

    def wait_delivered(self, qids, timeout):
        qids = set(qids)
        missing = lambda: qids - self.delivered(qids)
        try:
            wait_for("%d message(s) to reach the sink" % len(qids), lambda: not missing(), timeout, 0.1)
        except TimeoutError as e:
            left = sorted(missing())
            raise TimeoutError("%s; not delivered: %s\n%s" % (e, " ".join(left[:10]), self.log_tail())) from None

    def send(self, message, **kw):
        return send(self.port, message, **kw)


def unix_listening(path):
    try:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(1)
            s.connect(path)
            return True
    except OSError:
        return False


def ancestors(path):
    while True:
        yield path
        parent = os.path.dirname(path)
        if parent == path:
            return
        path = parent


def work_folder(prefix):
    """A new temporary folder that the postfix user may enter (mkdtemp makes it owner-only)."""
    return private_folder(tempfile.mkdtemp(prefix=prefix))


def private_folder(path, mode=0o755):
    os.makedirs(path, exist_ok=True)
    os.chmod(path, mode)
    return path


def sanitized(binary):
    """Whether a program is built with a sanitizer (which makes it several times slower)."""
    out = subprocess.run(["ldd", binary], capture_output=True, text=True).stdout
    return bool(re.search(r"lib[at]san\.so", out))


class ScanLimits:
    """The engine's limits, given alike to mailhook's service and to clamd: bytes read per
    message, largest inner file, nesting, inner files, milliseconds per scan."""

    def __init__(self, scan_size=100 << 20, file_size=50 << 20, recursion=17, files=10000, scan_ms=30000):
        self.scan_size, self.file_size, self.recursion, self.files, self.scan_ms = (
            scan_size, file_size, recursion, files, scan_ms)


class Mailhook:
    """`mailhook service` and `mailhook milter` sharing a private runtime folder on a tmpfs, as
    deployed (/dev/shm, removed by stop()); the milter listens on a Unix socket in ROOT that the
    postfix group may use."""

    def __init__(self, binary, root, signatures, limits=None, service_args=(), milter_args=(), rpc_timeout_ms=None):
        limits = limits or ScanLimits()
        folder = private_folder(os.path.join(os.path.abspath(root), "mailhook"))
        # Backing files grown for each message on a disk would wait for the disk's allocation.
        self.runtime = tempfile.mkdtemp(prefix="mailhook-runtime-", dir="/dev/shm")
        db = os.path.join(folder, "db")
        shutil.copytree(signatures, db, dirs_exist_ok=True)
        self.socket = "unix:" + os.path.join(folder, "milter.sock")
        env = dict(os.environ, MAILHOOK_RUNTIME_DIR=self.runtime)
        env.pop("MAILHOOK_LOG", None)
        if rpc_timeout_ms:
            env["MAILHOOK_RPC_TIMEOUT_MS"] = str(rpc_timeout_ms)
        # Read by a ThreadSanitizer build only.
        env["TSAN_OPTIONS"] = ":".join(filter(None, [env.get("TSAN_OPTIONS"), "suppressions=" + os.path.join(
            os.path.dirname(os.path.abspath(__file__)), "..", "..", "tsan.supp")]))
        self.service = Daemon("mailhook-service", [
            binary, "service", "--db", db, "--max-scan-size", str(limits.scan_size), "--max-file-size",
            str(limits.file_size), "--max-recursion", str(limits.recursion), "--max-files", str(limits.files),
            "--max-scan-time", str(limits.scan_ms)] + list(service_args), folder, env, clean_exit=True)
        self.milter = Daemon("mailhook-milter", [
            binary, "milter", "--socket", self.socket, "--socket-mode", "0660", "--socket-group", POSTFIX_USER
        ] + list(milter_args), folder, env, clean_exit=True)

    def start(self):
        self.service.start()
        self.milter.start()
        return self

    def stop(self):
        try:
            self.milter.stop()
        finally:
            self.service.stop()
            shutil.rmtree(self.runtime, ignore_errors=True)

    def pids(self):
        return [self.milter.pid, self.service.pid]


_CLAMD_CONF = """\
Foreground yes
LocalSocket {dir}/clamd.sock
FixStaleSocket yes
PidFile {dir}/clamd.pid
LogFile {dir}/clamd.log
DatabaseDirectory {dir}/db
TemporaryDirectory {tmp}
SelfCheck 3600
StreamMaxLength {stream}
ScanMail yes
ScanArchive yes
HeuristicAlerts yes
AlertExceedsMax yes
MaxScanSize {l.scan_size}
MaxFileSize {l.file_size}
MaxRecursion {l.recursion}
MaxFiles {l.files}
MaxScanTime {l.scan_ms}
"""

_CLAMAV_MILTER_CONF = """\
Foreground yes
MilterSocket unix:{dir}/milter.sock
MilterSocketMode 660
MilterSocketGroup {group}
FixStaleSocket yes
PidFile {dir}/clamav-milter.pid
TemporaryDirectory {tmp}
ClamdSocket unix:{dir}/clamd.sock
MaxFileSize {stream}
ReadTimeout 120
OnClean Accept
OnInfected Reject
RejectMsg infected: %v
OnFail Defer
AddHeader Replace
LogFile {dir}/clamav-milter.log
LogInfected Basic
"""


class ClamavReference:
    """Debian's clamav-milter and clamd run privately under ROOT: their own configuration files,
    sockets, pid files, logs and temporary folder; a copy of `signatures` as the database folder;
    no freshclam. Mail and archive parsing on, the same limits as mailhook's service."""

    def __init__(self, root, signatures, limits=None):
        limits = limits or ScanLimits()
        self.folder = folder = private_folder(os.path.join(os.path.abspath(root), "clamav"))
        shutil.copytree(signatures, os.path.join(folder, "db"), dirs_exist_ok=True)
        # The engine writes the mail parts it decodes to temporary files: on a tmpfs, as mailhook's
        # service does (its runtime folder), not where a disk would make each message wait.
        self.tmp = tempfile.mkdtemp(prefix="clamav-tmp-", dir="/dev/shm")
        stream = max(limits.scan_size, 64 << 20)
        for name, text in (("clamd.conf", _CLAMD_CONF), ("clamav-milter.conf", _CLAMAV_MILTER_CONF)):
            with open(os.path.join(folder, name), "w") as f:
                f.write(text.format(dir=folder, tmp=self.tmp, l=limits, stream=stream, group=POSTFIX_USER))
        self.socket = "unix:" + os.path.join(folder, "milter.sock")
        clamd_socket = os.path.join(folder, "clamd.sock")
        self.clamd = Daemon("clamd", [os.path.join(SBIN, "clamd"), "--config-file", os.path.join(folder, "clamd.conf")],
                            folder, ready=lambda: self._pong(clamd_socket))
        self.milter = Daemon("clamav-milter", [os.path.join(SBIN, "clamav-milter"), "--config-file",
                                               os.path.join(folder, "clamav-milter.conf")],
                             folder, ready=lambda: unix_listening(self.socket[5:]))

    @staticmethod
    def _pong(path):
        try:
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                s.settimeout(2)
                s.connect(path)
                s.sendall(b"zPING\0")
                return s.recv(16).startswith(b"PONG")
        except OSError:
            return False

    def start(self):
        self.clamd.start(timeout=120)
        self.milter.start()
        return self

    def stop(self):
        try:
            self.milter.stop()
        finally:
            self.clamd.stop()
            shutil.rmtree(self.tmp, ignore_errors=True)

    def pids(self):
        return [self.milter.pid, self.clamd.pid]
