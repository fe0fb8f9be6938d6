#include "milter.h"

#include <arpa/inet.h>
#include <grp.h>
#include <libmilter/mfapi.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <mailhook/mh_MailRecords.h>

#include "common.h"
#include "log.h"
#include "stop.h"

namespace mailhook {

// Set once the milter runs, before any thread: SIGHUP is the milter's reload, not libmilter's stop.
bool g_bHangupIsOurs = false;

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kScanHeader[] = "X-Mailhook-Scan";
// libmilter hands body pieces of at most this much; a replaced body goes back in pieces as large.
constexpr size_t kPiece = 64u << 10;

// Protocol steps asked of the mail server when it offers them: no reply for the steps the milter
// never refuses (a round trip less for every field and body piece), and leading spaces of header
// values kept (the content is the message as it was sent).
constexpr unsigned long kNoReplies = SMFIP_NR_CONN | SMFIP_NR_HELO | SMFIP_NR_MAIL | SMFIP_NR_RCPT |
                                     SMFIP_NR_HDR | SMFIP_NR_EOH | SMFIP_NR_BODY;
constexpr unsigned long kSteps = kNoReplies | SMFIP_HDR_LEADSPC | SMFIP_NOUNKNOWN | SMFIP_NODATA;
constexpr unsigned long kActions = SMFIF_ADDHDRS | SMFIF_CHGHDRS | SMFIF_CHGBODY | SMFIF_QUARANTINE;

// The process's one hook client and what the callbacks share.
struct CMilterProcess {
  MilterOptions options;  // the policies in it change on SIGHUP: read through Policies()
  std::mutex policyLock;
  std::unique_ptr<CHookClient> client;
  std::atomic<int32_t> sequence{0};
  std::mutex logLock;
  // Connections open now: a stop waits for them to finish their messages.
  std::mutex liveLock;
  std::condition_variable liveChanged;
  int live = 0;
};
CMilterProcess* g_process = nullptr;

// What a message's answer depends on, copied out per message (no strings: nothing to allocate).
struct CPolicies {
  MilterOptions::Infected onInfected;
  bool tempfailUnscanned, acceptUnavailable, rejectOversize;
  uint32_t maxMessage;
};

CPolicies Policies() {
  std::lock_guard lock(g_process->policyLock);
  const MilterOptions& o = g_process->options;
  return {o.onInfected, o.tempfailUnscanned, o.acceptUnavailable, o.rejectOversize, o.maxMessage};
}

// One SMTP connection and the message it is on.
struct CConnection {
  unsigned long steps = 0;  // protocol steps agreed with the mail server
  std::string clientName = "unknown", clientAddress = "unknown", helo;

  // The message.
  std::string mailFrom, queueId;
  std::vector<std::string> rcpts;
  std::vector<std::string> fieldNames;  // in message order, for changes that name a field
  enum class State { kIdle, kWriting, kOversize, kFailed } state = State::kIdle;
  std::optional<CMessage> message;
  std::string failure;  // why the message could not be carried
  uint64_t size = 0;    // bytes the mail server handed over
  Clock::time_point started;

  void NewMessage() {
    message.reset();
    mailFrom.clear();
    queueId.clear();
    rcpts.clear();
    fieldNames.clear();
    state = State::kIdle;
    failure.clear();
    size = 0;
    started = Clock::now();
  }

  sfsistat Continue(unsigned long noReply) const {
    return (steps & noReply) ? SMFIS_NOREPLY : SMFIS_CONTINUE;
  }
};

CConnection* Of(SMFICTX* ctx) {
  return static_cast<CConnection*>(smfi_getpriv(ctx));
}

// The connection of ctx, made by the first callback that sees it.
CConnection& Connection(SMFICTX* ctx) {
  if (CConnection* c = Of(ctx)) return *c;
  auto* c = new CConnection;
  smfi_setpriv(ctx, c);
  {
    std::lock_guard lock(g_process->liveLock);
    ++g_process->live;
  }
  return *c;
}

void NoteQueueId(SMFICTX* ctx, CConnection& c) {
  if (!c.queueId.empty()) return;
  if (const char* id = smfi_getsymval(ctx, const_cast<char*>("i")); id != nullptr) c.queueId = id;
}

// Text for a header value, or for an SMTP reply (where '%' would be expanded): one line.
std::string OneLine(std::string_view text, bool reply = false) {
  std::string out;
  for (char ch : text) {
    if (ch == '\r' || ch == '\n')
      out += ' ';
    else if (ch == '%' && reply)
      out += "%%";
    else
      out += ch;
  }
  return out;
}

// Header values go into the content as the server sent them, line ends made CRLF.
void AppendCrlf(std::string& out, std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
}

// Whatever fails while the message is written: the message stops being carried, and the end of
// the message says why.
void Fail(CConnection& c, const CMailhookError& e) {
  c.message.reset();  // the holder goes back at once
  if (e.GetCode() == CMailhookError::TOO_LARGE) {
    c.state = CConnection::State::kOversize;
  } else {
    c.state = CConnection::State::kFailed;
    c.failure = e.what();
  }
}

// Takes a holder and writes the envelope: at the first header field, not at MAIL FROM, so that a
// slow or idle client holds no holder before its message comes.
void Begin(SMFICTX* ctx, CConnection& c) {
  if (c.state != CConnection::State::kIdle) return;
  NoteQueueId(ctx, c);
  try {
    c.message.emplace(g_process->client->Begin());
    c.state = CConnection::State::kWriting;
    CHeaderListWriter& h = c.message->Headers();
    h.AddText(kHdrClientAddress, c.clientAddress);
    h.AddText(kHdrClientName, c.clientName);
    if (!c.helo.empty()) h.AddText(kHdrHelo, c.helo);
    h.AddText(kHdrMailFrom, c.mailFrom);
    for (const auto& r : c.rcpts) h.AddText(kHdrRcptTo, r);
    if (!c.queueId.empty()) h.AddText(kHdrQueueId, c.queueId);
  } catch (const CMailhookError& e) {
    Fail(c, e);
  }
}

void Append(CConnection& c, std::string_view bytes) {
  c.size += bytes.size();
  if (c.state != CConnection::State::kWriting) return;
  try {
    c.message->Append(bytes);
  } catch (const CMailhookError& e) {
    Fail(c, e);
  }
}

// ---------------------------------------------------------------------------------------------
// The verdict, made the mail server's answer.

struct Decision {
  sfsistat status = SMFIS_CONTINUE;
  std::string action;   // for the log: accept, reject, tempfail, discard, quarantine, tag
  std::string verdict;  // for the log
};

sfsistat Reply(SMFICTX* ctx, const char* code, const char* xcode, const std::string& text) {
  smfi_setreply(ctx, const_cast<char*>(code), const_cast<char*>(xcode),
                const_cast<char*>(OneLine(text, true).c_str()));
  return code[0] == '4' ? SMFIS_TEMPFAIL : SMFIS_REJECT;
}

// "Name: value" as the service writes fields for the mail server.
std::pair<std::string, std::string> SplitField(const std::string& field) {
  const size_t colon = field.find(':');
  if (colon == std::string::npos) return {field, {}};
  size_t v = colon + 1;
  while (v < field.size() && (field[v] == ' ' || field[v] == '\t')) ++v;
  return {field.substr(0, colon), field.substr(v)};
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool Has(const CConnection& c, std::string_view name) {
  return std::any_of(c.fieldNames.begin(), c.fieldNames.end(),
                     [&](const auto& n) { return SameName(n, name); });
}

// A value as the server takes it: with the leading space agreed, the milter writes it.
std::string FieldValue(SMFICTX* ctx, const std::string& value) {
  const CConnection* c = Of(ctx);
  return (c != nullptr && (c->steps & SMFIP_HDR_LEADSPC) ? " " : "") + OneLine(value);
}

void AddField(SMFICTX* ctx, const std::string& name, const std::string& value) {
  // At the end of the header, below the mail server's own trace fields.
  smfi_addheader(ctx, const_cast<char*>(name.c_str()), const_cast<char*>(FieldValue(ctx, value).c_str()));
}

void ChangeField(SMFICTX* ctx, const CConnection& c, const std::string& name, const std::string& value) {
  if (Has(c, name))
    smfi_chgheader(ctx, const_cast<char*>(name.c_str()), 1,
                   const_cast<char*>(FieldValue(ctx, value).c_str()));
  else
    AddField(ctx, name, value);
}

// The service's replacement is a whole message: its body replaces the body, its header fields
// replace those of the same names, and the original's content fields it lacks go (a multipart
// type must not describe a plain notice).
void ReplaceMessage(SMFICTX* ctx, const CConnection& c, std::string_view replacement) {
  size_t split = replacement.find("\r\n\r\n");
  size_t bodyAt = split == std::string_view::npos ? 0 : split + 4;
  if (split == std::string_view::npos) split = 0;
  std::vector<std::pair<std::string, std::string>> fields;
  for (size_t at = 0; at < split;) {
    size_t end = replacement.find("\r\n", at);
    if (end == std::string_view::npos || end > split) end = split;
    std::string line(replacement.substr(at, end - at));
    const size_t text = line.find_first_not_of(" \t");
    if (text != 0 && text != std::string::npos && !fields.empty())
      fields.back().second += " " + line.substr(text);
    else if (text == 0 && line.find(':') != std::string::npos)
      fields.push_back(SplitField(line));
    at = end + 2;
  }
  for (const auto& [name, value] : fields) ChangeField(ctx, c, name, value);
  for (const char* name : {"Content-Type", "Content-Transfer-Encoding"}) {
    const bool kept =
        std::any_of(fields.begin(), fields.end(), [&](const auto& f) { return SameName(f.first, name); });
    if (!kept && Has(c, name)) smfi_chgheader(ctx, const_cast<char*>(name), 1, nullptr);
  }
  const std::string_view body = replacement.substr(bodyAt);
  if (body.empty()) smfi_replacebody(ctx, reinterpret_cast<unsigned char*>(const_cast<char*>("")), 0);
  for (size_t at = 0; at < body.size(); at += kPiece) {
    const size_t n = std::min(kPiece, body.size() - at);
    smfi_replacebody(ctx, reinterpret_cast<unsigned char*>(const_cast<char*>(body.data() + at)),
                     static_cast<int>(n));
  }
}

// The fields the service asked for, in the order written.
void ApplyFields(SMFICTX* ctx, const CConnection& c, const CHeaderList& updates) {
  for (const CHeaderValue& v : updates) {
    if (v.id != kHdrAddField && v.id != kHdrChangeField) continue;
    const auto [name, value] = SplitField(v.Utf8());
    if (name.empty()) continue;
    if (v.id == kHdrAddField)
      AddField(ctx, name, value);
    else
      ChangeField(ctx, c, name, value);
  }
}

// Neither the service's answer nor a scan: said in a header when the message goes on anyway.
Decision NotScanned(SMFICTX* ctx, const std::string& why, bool tempfail, const std::string& code = "451",
                    const std::string& xcode = "4.7.1") {
  Decision d;
  d.verdict = "not scanned: " + why;
  if (tempfail) {
    d.status = Reply(ctx, code.c_str(), xcode.c_str(),
                     code[0] == '4' ? "message cannot be scanned now (" + why + "); try again later"
                                    : "message not accepted: " + why);
    d.action = code[0] == '4' ? "tempfail" : "reject";
  } else {
    AddField(ctx, kScanHeader, d.verdict);
    d.action = "accept";
  }
  return d;
}

Decision Scanned(SMFICTX* ctx, CConnection& c, CCarryOutcome& outcome) {
  const CPolicies o = Policies();
  const CHeaderList& updates = outcome.UpdateHeaders();
  Decision d;
  const CHeaderValue* verdict = updates.Find(kHdrVerdict);
  d.verdict = verdict != nullptr ? verdict->Utf8() : outcome.Infected() ? "infected" : "clean";
  if (outcome.Infected() || d.verdict.rfind("infected", 0) == 0) {
    switch (o.onInfected) {
      case MilterOptions::Infected::kReject:
        d.action = "reject";
        d.status = Reply(ctx, "550", "5.7.1", "message rejected: " + d.verdict);
        return d;
      case MilterOptions::Infected::kDiscard:
        d.action = "discard";
        d.status = SMFIS_DISCARD;
        return d;
      case MilterOptions::Infected::kQuarantine:
        // Held as it came, for an administrator to look at: only the fields are added.
        d.action = "quarantine";
        smfi_quarantine(ctx, const_cast<char*>(OneLine("mailhook: " + d.verdict).c_str()));
        ApplyFields(ctx, c, updates);
        return d;
      case MilterOptions::Infected::kTag:
        d.action = "tag";
        break;
    }
  } else if (d.verdict.rfind("not scanned", 0) == 0 && o.tempfailUnscanned) {
    d.action = "tempfail";
    d.status = Reply(ctx, "451", "4.7.1", "message cannot be scanned (" + d.verdict + "); try again later");
    return d;
  } else {
    d.action = "accept";
  }
  ApplyFields(ctx, c, updates);
  if (outcome.Flags() & kChangedContent) ReplaceMessage(ctx, c, outcome.Content());
  return d;
}

void LogMessage(const CConnection& c, const Decision& d, double scanMs) {
  if (!LogEnabled(LogLevel::kInfo)) return;
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - c.started).count();
  CLogLine line;
  line.Add("queue", c.queueId.empty() ? "-" : c.queueId)
      .Add("from", c.mailFrom.empty() ? "-" : c.mailFrom)
      .Add("rcpts", static_cast<uint64_t>(c.rcpts.size()))
      .Add("size", c.size)
      .Add("verdict", d.verdict)
      .Add("action", d.action)
      .Ms("ms", ms)
      .Ms("scan_ms", scanMs);
  Log(LogLevel::kInfo, line.Text());
}

// ---------------------------------------------------------------------------------------------
// libmilter's callbacks.

sfsistat OnNegotiate(SMFICTX* ctx, unsigned long actions, unsigned long steps, unsigned long, unsigned long,
                     unsigned long* actionsWanted, unsigned long* stepsWanted, unsigned long* f2,
                     unsigned long* f3) {
  CConnection& c = Connection(ctx);
  *actionsWanted = actions & kActions;
  c.steps = steps & kSteps;
  *stepsWanted = c.steps;
  *f2 = *f3 = 0;
  return SMFIS_CONTINUE;
}

sfsistat OnConnect(SMFICTX* ctx, char* hostname, _SOCK_ADDR* address) {
  CConnection& c = Connection(ctx);
  if (hostname != nullptr) c.clientName = hostname;
  char text[INET6_ADDRSTRLEN] = {};
  if (address != nullptr && address->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(address)->sin_addr, text, sizeof text);
  else if (address != nullptr && address->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
  c.clientAddress = text[0] != 0 ? text : "local";
  return c.Continue(SMFIP_NR_CONN);
}

sfsistat OnHelo(SMFICTX* ctx, char* helo) {
  CConnection& c = Connection(ctx);
  c.helo = helo != nullptr ? helo : "";
  return c.Continue(SMFIP_NR_HELO);
}

sfsistat OnMailFrom(SMFICTX* ctx, char** argv) {
  CConnection& c = Connection(ctx);
  c.NewMessage();
  if (argv != nullptr && argv[0] != nullptr) c.mailFrom = argv[0];
  NoteQueueId(ctx, c);
  return c.Continue(SMFIP_NR_MAIL);
}

sfsistat OnRcptTo(SMFICTX* ctx, char** argv) {
  CConnection& c = Connection(ctx);
  if (argv != nullptr && argv[0] != nullptr) c.rcpts.emplace_back(argv[0]);
  NoteQueueId(ctx, c);
  return c.Continue(SMFIP_NR_RCPT);
}

sfsistat OnHeader(SMFICTX* ctx, char* name, char* value) {
  CConnection& c = Connection(ctx);
  Begin(ctx, c);
  const std::string_view n = name != nullptr ? name : "", v = value != nullptr ? value : "";
  c.fieldNames.emplace_back(n);
  std::string line(n);
  line += ':';
  // Without the leading-space step the server dropped the space after the colon: put one back.
  if (!(c.steps & SMFIP_HDR_LEADSPC)) line += ' ';
  AppendCrlf(line, v);
  line += "\r\n";
  if (c.state == CConnection::State::kWriting) {
    try {
      const size_t lead = v.find_first_not_of(" \t");
      c.message->Headers().AddText(
          kHdrOther,
          std::string(n) + ": " + std::string(lead == std::string_view::npos ? "" : v.substr(lead)));
    } catch (const CMailhookError& e) {
      // A 0 byte in a field: the record is left out, the field still goes into the content.
      if (e.GetCode() != CMailhookError::INVALID_ARGUMENT) Fail(c, e);
    }
  }
  Append(c, line);
  return c.Continue(SMFIP_NR_HDR);
}

sfsistat OnEndOfHeaders(SMFICTX* ctx) {
  CConnection& c = Connection(ctx);
  Begin(ctx, c);
  Append(c, "\r\n");
  return c.Continue(SMFIP_NR_EOH);
}

sfsistat OnBody(SMFICTX* ctx, unsigned char* bytes, size_t length) {
  CConnection& c = Connection(ctx);
  Begin(ctx, c);
  Append(c, std::string_view(reinterpret_cast<const char*>(bytes), length));
  return c.Continue(SMFIP_NR_BODY);
}

sfsistat OnEndOfMessage(SMFICTX* ctx) {
  CConnection& c = Connection(ctx);
  Begin(ctx, c);
  NoteQueueId(ctx, c);
  const CPolicies o = Policies();
  Decision d;
  double scanMs = 0;
  if (c.state == CConnection::State::kOversize) {
    d = NotScanned(ctx, "message larger than " + std::to_string(o.maxMessage) + " bytes", o.rejectOversize,
                   "552", "5.3.4");
  } else if (c.state == CConnection::State::kFailed) {
    d = NotScanned(ctx, c.failure, !o.acceptUnavailable);
  } else {
    const auto submitted = Clock::now();
    try {
      CCarryOutcome outcome = c.message->Submit(++g_process->sequence);
      scanMs = std::chrono::duration<double, std::milli>(Clock::now() - submitted).count();
      d = Scanned(ctx, c, outcome);
      outcome.Release();
    } catch (const CMailhookError& e) {
      d = NotScanned(ctx, e.what(), !o.acceptUnavailable);
    }
  }
  LogMessage(c, d, scanMs);
  c.NewMessage();
  return d.status;
}

sfsistat OnAbort(SMFICTX* ctx) {
  if (CConnection* c = Of(ctx)) c->NewMessage();
  return SMFIS_CONTINUE;
}

sfsistat OnClose(SMFICTX* ctx) {
  CConnection* c = Of(ctx);
  if (c == nullptr) return SMFIS_CONTINUE;
  smfi_setpriv(ctx, nullptr);
  delete c;
  // Notified under the lock: once the last connection is gone, a stop may end the process's
  // state the moment the lock is free.
  std::lock_guard lock(g_process->liveLock);
  --g_process->live;
  g_process->liveChanged.notify_all();
  return SMFIS_CONTINUE;
}

// SIGHUP: the log file reopened, the options read again; the policies and the log level taken.
void ReloadMilter(CMilterProcess& process) {
  std::string error;
  if (!ReopenLog(error)) Log(LogLevel::kError, error);
  MilterOptions fresh;
  if (!process.options.reread || !process.options.reread(fresh, error)) {
    Log(LogLevel::kError,
        "reload: the configuration does not read (" + error + "); the settings in use stay");
    return;
  }
  std::string line = "reloaded";
  std::vector<const char*> kept;
  {
    std::lock_guard lock(process.policyLock);
    MilterOptions& o = process.options;
    if (fresh.logLevel != o.logLevel)
      line += std::string("; log-level ") + LogLevelName(o.logLevel) + " -> " + LogLevelName(fresh.logLevel);
    auto keep = [&](const char* name, bool differs) {
      if (differs) kept.push_back(name);
    };
    keep("socket", fresh.socket != o.socket);
    keep("socket-mode", fresh.socketMode != o.socketMode);
    keep("socket-group", fresh.socketGroup != o.socketGroup);
    keep("connections", fresh.connections != o.connections);
    keep("dir", fresh.workDir != o.workDir);
    keep("pool", fresh.poolId != o.poolId);
    keep("max-message", fresh.maxMessage != o.maxMessage);
    keep("retry-for", fresh.retryFor != o.retryFor);
    keep("log", fresh.log != o.log);
    o.onInfected = fresh.onInfected;
    o.tempfailUnscanned = fresh.tempfailUnscanned;
    o.acceptUnavailable = fresh.acceptUnavailable;
    o.rejectOversize = fresh.rejectOversize;
    o.logLevel = fresh.logLevel;
    SetLogLevel(o.logLevel);
    static const char* const kInfected[] = {"reject", "discard", "quarantine", "tag"};
    line += std::string("; on-infected ") + kInfected[static_cast<int>(o.onInfected)] + ", on-unscanned " +
            (o.tempfailUnscanned ? "tempfail" : "accept") + ", on-unavailable " +
            (o.acceptUnavailable ? "accept" : "tempfail") + ", on-oversize " +
            (o.rejectOversize ? "reject" : "accept");
  }
  if (!kept.empty()) {
    line += "; kept until a restart:";
    for (size_t i = 0; i < kept.size(); ++i) line += std::string(i ? ", " : " ") + kept[i];
  }
  Log(LogLevel::kNotice, line);
}

// A Unix socket's path, or empty for a network one.
std::string SocketPath(const std::string& socket) {
  for (const char* prefix : {"unix:", "local:"})
    if (socket.rfind(prefix, 0) == 0) return socket.substr(std::strlen(prefix));
  if (!socket.empty() && socket[0] == '/') return socket;
  return {};
}

}  // namespace

int RunMilter(const MilterOptions& given) {
  g_bHangupIsOurs = true;
  CReloadSignals reloads;
  CMilterProcess process;
  process.options = given;
  MilterOptions& o = process.options;
  g_process = &process;
  try {
    OpenLog(o.log, "milter", o.logLevel);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mailhook milter: %s\n", e.what());
    return 2;
  }
  try {
    CHookClientOptions client;
    client.folder = o.workDir;
    client.poolId = o.poolId;
    client.holders = o.connections;
    client.maxMessage = o.maxMessage;
    client.retryFor = o.retryFor;
    // The mail server comes first: the milter listens whether the service is up yet or not.
    client.registerAtStart = false;
    process.client = std::make_unique<CHookClient>(client);
  } catch (const CMailhookError& e) {
    Log(LogLevel::kError, e.what());
    return 2;
  }

  smfiDesc desc{};
  desc.xxfi_name = const_cast<char*>("mailhook");
  desc.xxfi_version = SMFI_VERSION;
  desc.xxfi_flags = kActions;
  desc.xxfi_connect = OnConnect;
  desc.xxfi_helo = OnHelo;
  desc.xxfi_envfrom = OnMailFrom;
  desc.xxfi_envrcpt = OnRcptTo;
  desc.xxfi_header = OnHeader;
  desc.xxfi_eoh = OnEndOfHeaders;
  desc.xxfi_body = OnBody;
  desc.xxfi_eom = OnEndOfMessage;
  desc.xxfi_abort = OnAbort;
  desc.xxfi_close = OnClose;
  desc.xxfi_negotiate = OnNegotiate;

  const std::string path = SocketPath(o.socket);
  if (!path.empty()) std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  if (smfi_setconn(const_cast<char*>(o.socket.c_str())) == MI_FAILURE || smfi_register(desc) == MI_FAILURE ||
      smfi_opensocket(true) == MI_FAILURE) {
    Log(LogLevel::kError, "cannot listen at " + o.socket);
    return 2;
  }
  if (!path.empty()) {
    gid_t gid = static_cast<gid_t>(-1);
    if (!o.socketGroup.empty()) {
      const group* g = getgrnam(o.socketGroup.c_str());
      if (g == nullptr) {
        Log(LogLevel::kError, "no group " + o.socketGroup);
        return 2;
      }
      gid = g->gr_gid;
    }
    if (chmod(path.c_str(), o.socketMode) != 0 ||
        (gid != static_cast<gid_t>(-1) && chown(path.c_str(), -1, gid) != 0)) {
      Log(LogLevel::kError, "cannot set the mode or group of " + path + ": " + std::strerror(errno));
      return 2;
    }
  }
  Log(LogLevel::kNotice, "listening at " + o.socket + ", " + std::to_string(o.connections) +
                             " messages at once; " + StorageSummary(o.workDir));
  std::printf("ready\n");
  std::fflush(stdout);

  // Until SIGTERM or SIGINT: then no new connections, and the messages under way finish. A stop
  // asked for ends the milter well, whatever libmilter's listener says as it closes.
  int rc = reloads.Serve([] { return smfi_main(); }, [] { ReloadMilter(*g_process); });
  if (reloads.StopAsked()) rc = MI_SUCCESS;
  std::unique_lock lock(process.liveLock);
  const bool drained = process.liveChanged.wait_for(lock, std::chrono::duration<double>(o.drainFor),
                                                    [&] { return process.live == 0; });
  Log(LogLevel::kNotice,
      drained ? "stopped" : "stopped; connections still open were left to the mail server's time-out");
  if (!drained) {
    // Their threads still use the client: leave without tearing it down.
    std::fflush(stderr);
    _exit(rc == MI_SUCCESS ? 0 : 1);
  }
  lock.unlock();
  process.client.reset();
  g_process = nullptr;
  return rc == MI_SUCCESS ? 0 : 1;
}

}  // namespace mailhook

// libmilter waits for SIGHUP, SIGINT and SIGTERM in a thread of its own (sigwait) and stops on
// each. The main thread takes SIGHUP for a reload while it has it open, but the kernel hands a
// process's signal to another thread that waits for it whenever the main thread is busy with a
// signal of its own, and a reload would then stop the milter. This definition stands in for the C
// library's in libmilter (the program's own symbols come first) and leaves SIGHUP out of what it
// waits for, so that only the main thread ever takes one; stops still reach libmilter that way.
extern "C" __attribute__((visibility("default"))) int sigwait(const sigset_t* set, int* signal) {
  sigset_t waitFor = *set;
  if (mailhook::g_bHangupIsOurs) sigdelset(&waitFor, SIGHUP);
  for (;;) {
    const int taken = sigwaitinfo(&waitFor, nullptr);
    if (taken > 0) {
      *signal = taken;
      return 0;
    }
    if (errno != EINTR) return errno;
  }
}
