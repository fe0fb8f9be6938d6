#include "progress.h"

#include <cstdio>

#include "common.h"

namespace mailhook {

CProgress::CProgress(bool enabled, uint64_t total) : m_bEnabled(enabled), m_ullTotal(total) {}

CProgress::~CProgress() {
  Clear();
}

void CProgress::Clear() {
  if (!m_bShown) return;
  // Carriage return and erase to the end of the line: the terminal's cursor is where it was.
  std::fputs("\r\033[K", stdout);
  m_bShown = false;
}

void CProgress::Update(uint64_t done, uint64_t bytes, uint64_t failed) {
  if (!m_bEnabled) return;
  const auto now = Clock::now();
  if (m_bShown && done < m_ullTotal && now - m_last < std::chrono::milliseconds(100)) return;
  m_last = now;
  const double seconds = std::chrono::duration<double>(now - m_start).count();
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  const double mib = static_cast<double>(bytes) / (1024.0 * 1024.0);
  std::printf("\r\033[K%llu/%llu messages  %.1f MiB  %.0f messages/s  %.1f MiB/s  %llu failed",
              static_cast<unsigned long long>(done), static_cast<unsigned long long>(m_ullTotal), mib, rate,
              seconds > 0 ? mib / seconds : 0, static_cast<unsigned long long>(failed));
  std::fflush(stdout);
  m_bShown = true;
}

}  // namespace mailhook
