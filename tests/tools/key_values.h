// Reads a key=value log line back as log tools do: keys up to '=', values bare up to a space or
// quoted with '\' escaping the next character. Empty when the line does not parse whole.
#pragma once

#include <map>
#include <string>
#include <string_view>

inline std::map<std::string, std::string> KeyValues(std::string_view line) {
  std::map<std::string, std::string> out;
  size_t at = 0;
  while (at < line.size()) {
    const size_t eq = line.find('=', at);
    if (eq == std::string_view::npos || eq == at) return {};
    std::string key(line.substr(at, eq - at)), value;
    if (key.find_first_of(" \"") != std::string::npos) return {};
    at = eq + 1;
    if (at < line.size() && line[at] == '"') {
      for (++at;; ++at) {
        if (at >= line.size()) return {};  // unterminated
        if (line[at] == '"') break;
        if (line[at] == '\\' && ++at >= line.size()) return {};
        value += line[at];
      }
      ++at;
    } else {
      const size_t end = std::min(line.find(' ', at), line.size());
      value = line.substr(at, end - at);
      at = end;
    }
    if (at < line.size() && line[at++] != ' ') return {};
    out[key] = value;
  }
  return out;
}
