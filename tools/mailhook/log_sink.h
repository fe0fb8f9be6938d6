// The log's destinations, one implementation per platform (log_posix.cpp, log_win.cpp).
#pragma once

#include <string>
#include <string_view>

#include "log.h"

namespace mailhook::logsink {

// where: "syslog", "stderr" or a file path; ident: "mailhook/service". Throws std::runtime_error.
void Open(const std::string& where, const std::string& ident);
// One whole line (its newline added here), written at once so that lines of threads never mix.
void Write(LogLevel level, std::string_view line);
bool Reopen(std::string& error);

}  // namespace mailhook::logsink
