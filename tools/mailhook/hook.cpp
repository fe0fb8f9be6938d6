#include "hook.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <thread>

#include "common.h"
#include "progress.h"
#include "stop.h"

namespace mailhook {

HookRunner::HookRunner(const HookOptions& options) : m_options(options) {
  if (m_options.holders <= 0) m_options.holders = std::max(1, m_options.threads);
}

HookRunner::~HookRunner() {
  if (m_digestLog != nullptr) std::fclose(m_digestLog);
}

void HookRunner::Setup() {
  CHookClientOptions o;
  o.folder = m_options.workDir;
  o.poolId = m_options.poolId;
  o.holders = m_options.holders;
  o.maxMessage = m_options.maxMessage;
  o.retryFor = m_options.retryFor;
  if (!m_options.digestLog.empty() && m_digestLog == nullptr) {
    m_digestLog = std::fopen(m_options.digestLog.string().c_str(), "a");
    if (m_digestLog == nullptr)
      throw std::runtime_error("cannot open the digest log " + m_options.digestLog.string());
  }
  m_client = std::make_unique<CHookClient>(o);
}

MessageResult HookRunner::Carry(const Message& message, uint64_t sequence) {
  MessageResult r;
  r.sequence = sequence;
  r.name = message.name;
  r.size = message.raw.size();

  std::vector<CHeaderValue> records;
  records.reserve(message.headers.size() + 1);
  records.push_back(CHeaderValue::Int(kHdrSequence, static_cast<int32_t>(sequence)));
  // Digests of a whole message cost the service a pass over it: asked for only when checked.
  if (m_options.verify || m_digestLog != nullptr) records.push_back(CHeaderValue::Int(kHdrProveReading, 1));
  records.insert(records.end(), message.headers.begin(), message.headers.end());
  const CHeaderList written(std::move(records));
  r.headers = written.size();
  try {
    CCarryOutcome outcome = m_client->Carry(written, message.raw, static_cast<int32_t>(sequence));
    r.flags = outcome.Flags();
    r.updates = outcome.UpdateHeaders().Values();
    const CHeaderList& updates = outcome.UpdateHeaders();
    if (const CHeaderValue* v = updates.Find(kHdrVerdict)) r.verdict = v->Utf8();
    const std::string_view now = outcome.Content();
    if (r.flags & kChangedContent) {
      r.newSize = now.size();
      if (m_options.verify) r.newContent.assign(now);
    }
    std::vector<CHeaderValue> sorted;
    if (m_options.verify || m_digestLog != nullptr) {
      sorted = written.Values();
      std::stable_sort(sorted.begin(), sorted.end(), [](auto& a, auto& b) { return a.id < b.id; });
    }
    if (m_digestLog != nullptr)
      r.digests = DigestText(DigestBytes(message.raw.data(), message.raw.size())) + ' ' +
                  DigestText(DigestHeaders(sorted)) + ' ' + DigestText(DigestHeaders(r.updates)) + ' ' +
                  DigestText(DigestBytes(now.data(), now.size()));
    if (m_options.verify) {
      const CHeaderValue* seen = updates.Find(kHdrHeadersSeen);
      const CHeaderValue* hd = updates.Find(kHdrHeadersDigest);
      const CHeaderValue* cd = updates.Find(kHdrContentDigest);
      if (!seen || seen->number != static_cast<int64_t>(written.size()) || !hd ||
          static_cast<uint64_t>(hd->number) != DigestHeaders(sorted))
        r.error = "the service read other headers than were written";
      else if (!cd ||
               static_cast<uint64_t>(cd->number) != DigestBytes(message.raw.data(), message.raw.size()))
        r.error = "the service read other content than was written";
      else if (!(r.flags & kChangedContent) && now != message.raw)
        r.error = "the content came back changed";
    }
    // What was read is thrown away when a backing file was cut short meanwhile.
    outcome.Release();
    r.ok = r.error.empty();
  } catch (const CMailhookError& e) {
    r.ok = false;
    if (!r.error.empty()) r.error += "; ";
    r.error += e.what();
    // A hook that cannot mend its pool must not carry on with a resource that has no view.
    if (m_client->Stopped()) Stop();
  }
  return r;
}

RunSummary HookRunner::Run(const std::vector<Message>& messages,
                           const std::function<void(const MessageResult&)>& onResult) {
  if (!m_client) throw std::logic_error("Setup() first");
  RunSummary summary;
  const uint64_t total = messages.size() * m_options.repeat;
  std::atomic<uint64_t> next{0};
  std::mutex report;
  auto start = std::chrono::steady_clock::now();
  auto worker = [&] {
    for (;;) {
      if (m_stop.load(std::memory_order_relaxed)) return;
      uint64_t i = next++;
      if (i >= total) return;
      const Message& m = messages[i % messages.size()];
      MessageResult r = Carry(m, i + 1);
      std::lock_guard lock(report);
      ++summary.messages;
      summary.bytes += r.size;
      if (!r.ok) ++summary.failed;
      if (r.flags & kInfected) ++summary.infected;
      if (r.flags & kChangedContent) ++summary.changedContent;
      if (r.ok && m_digestLog != nullptr) {
        std::fprintf(m_digestLog, "%llu %s\n", static_cast<unsigned long long>(r.sequence),
                     r.digests.c_str());
        std::fflush(m_digestLog);
      }
      if (onResult) onResult(r);
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < m_options.threads; ++t) threads.emplace_back(worker);
  for (auto& t : threads) t.join();
  // Holders held back after a time-out come back now if the service has finished with them.
  m_client->ReturnHeldBack();
  summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return summary;
}

size_t HookRunner::FreeHolders() const {
  return m_client ? m_client->FreeHolders() : 0;
}

uint64_t HookRunner::FreeResources() const {
  return m_client ? m_client->FreeResources() : 0;
}

void HookRunner::Stop() {
  m_stop = true;
  if (m_client) m_client->Stop();
}

uint64_t HookRunner::ResourceCount() const {
  return m_client ? m_client->ResourceCount() : 0;
}

void PrintResult(const MessageResult& r) {
  std::string change;
  if (!r.ok) {
    std::printf("%5llu  %-24.24s %10s  FAILED: %s\n", static_cast<unsigned long long>(r.sequence),
                r.name.c_str(), HumanBytes(static_cast<double>(r.size)).c_str(), r.error.c_str());
  } else {
    change = (r.flags & kChangedContent)
                 ? "content replaced (" + HumanBytes(static_cast<double>(r.newSize)) + ")"
                 : "content unchanged";
    std::printf("%5llu  %-24.24s %10s  %3zu headers  %-38s %s\n", static_cast<unsigned long long>(r.sequence),
                r.name.c_str(), HumanBytes(static_cast<double>(r.size)).c_str(), r.headers, r.verdict.c_str(),
                change.c_str());
  }
  std::fflush(stdout);
}

void PrintSummary(const RunSummary& s) {
  double rate = s.seconds > 0 ? static_cast<double>(s.messages) / s.seconds : 0;
  double bytes = s.seconds > 0 ? static_cast<double>(s.bytes) / s.seconds : 0;
  std::printf(
      "%llu messages (%llu failed, %llu infected, %llu replaced), %s in %.3f s: %.0f messages/s, %s/s\n",
      static_cast<unsigned long long>(s.messages), static_cast<unsigned long long>(s.failed),
      static_cast<unsigned long long>(s.infected), static_cast<unsigned long long>(s.changedContent),
      HumanBytes(static_cast<double>(s.bytes)).c_str(), s.seconds, rate, HumanBytes(bytes).c_str());
  std::fflush(stdout);
}

int RunHookCommand(const HookCommandOptions& options) {
  std::vector<Message> messages;
  try {
    messages = options.input.empty() ? BuiltinMessages() : LoadMessages(options.input);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mailhook hook: %s\n", e.what());
    return 2;
  }
  RunSummary summary;
  size_t holdersOut = 0;
  uint64_t resourcesOut = 0;
  {
    HookRunner runner(options.hook);
    try {
      runner.Setup();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "mailhook hook: %s\n", e.what());
      return 2;
    }
    if (!options.quiet)
      std::fprintf(stderr, "mailhook hook: %s\n", StorageSummary(options.hook.workDir).c_str());
    // A stop request (SIGINT, SIGTERM, Ctrl+C) ends the run after the messages under way: the
    // checks below and the summary still come out.
    StopRequest stopRequest;
    std::thread stopper([&] {
      if (stopRequest.Wait()) runner.Stop();
    });
    const uint64_t total = messages.size() * options.hook.repeat;
    uint64_t done = 0, bytes = 0, failed = 0;
    auto last = std::chrono::steady_clock::now();
    CProgress progress(StdoutIsTerminal() && !options.quiet && !options.json, total);
    summary = runner.Run(messages, [&](const MessageResult& r) {
      ++done;
      bytes += r.size;
      if (!r.ok) ++failed;
      if (!options.quiet || !r.ok) {
        progress.Clear();
        PrintResult(r);
      }
      progress.Update(done, bytes, failed);
      auto now = std::chrono::steady_clock::now();
      if (options.quiet && now - last > std::chrono::seconds(1)) {
        last = now;
        std::fprintf(stderr, "mailhook hook: %llu / %llu messages\n", static_cast<unsigned long long>(done),
                     static_cast<unsigned long long>(total));
      }
    });
    progress.Clear();
    stopRequest.Cancel();
    stopper.join();
    const size_t holders =
        static_cast<size_t>(options.hook.holders > 0 ? options.hook.holders : options.hook.threads);
    holdersOut = holders - std::min(holders, runner.FreeHolders());
    resourcesOut = runner.ResourceCount() - std::min(runner.ResourceCount(), runner.FreeResources());
    if (holdersOut != 0) {
      std::fprintf(stderr, "mailhook hook: holders were not all given back\n");
      ++summary.failed;
    }
    if (resourcesOut != 0) {
      std::fprintf(stderr, "mailhook hook: resources were not all given back to the pool\n");
      ++summary.failed;
    }
  }
  PrintSummary(summary);
  if (options.json)
    std::printf(
        "{\"messages\":%llu,\"failed\":%llu,\"infected\":%llu,\"replaced\":%llu,\"bytes\":%llu,\"seconds\":%."
        "6f,"
        "\"holders_out\":%zu,\"resources_out\":%llu}\n",
        static_cast<unsigned long long>(summary.messages), static_cast<unsigned long long>(summary.failed),
        static_cast<unsigned long long>(summary.infected),
        static_cast<unsigned long long>(summary.changedContent),
        static_cast<unsigned long long>(summary.bytes), summary.seconds, holdersOut,
        static_cast<unsigned long long>(resourcesOut));
  return summary.failed == 0 ? 0 : 1;
}

}  // namespace mailhook
