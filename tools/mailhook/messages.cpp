#include "messages.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

namespace mailhook {

std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

std::vector<Message> LoadMessages(const std::filesystem::path& input) {
  std::vector<Message> messages;
  std::error_code ec;
  if (std::filesystem::is_directory(input, ec)) {
    std::vector<std::filesystem::path> files;
    for (auto& entry : std::filesystem::directory_iterator(input))
      if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (auto& file : files) {
      Message m;
      if (ParseMessage(file.filename().string(), ReadWholeFile(file), m)) messages.push_back(std::move(m));
    }
  } else {
    std::string data = ReadWholeFile(input);
    if (data.rfind("From ", 0) == 0) {
      ReadMbox(input.filename().string(), data, messages);
    } else {
      Message m;
      if (ParseMessage(input.filename().string(), std::move(data), m)) messages.push_back(std::move(m));
    }
  }
  if (messages.empty()) throw std::runtime_error("no messages in " + input.string());
  return messages;
}

const std::string& TestVirusString() {
  static const std::string s =
      std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + "EICAR-STANDARD-ANTIVIRUS-" + "TEST-FILE!$H+H*";
  return s;
}

std::vector<Message> BuiltinMessages() {
  std::vector<std::pair<std::string, std::string>> raw;
  raw.emplace_back("plain",
                   "From: Alice Example <alice@example.org>\r\n"
                   "To: Bob Example <bob@example.org>\r\n"
                   "Subject: Lunch on Friday?\r\n"
                   "Date: Fri, 04 Dec 2026 10:15:00 +0000\r\n"
                   "Message-ID: <plain-1@example.org>\r\n"
                   "MIME-Version: 1.0\r\n"
                   "Content-Type: text/plain; charset=us-ascii\r\n"
                   "\r\n"
                   "Hi Bob,\r\n\r\nshall we have lunch on Friday at noon?\r\n\r\nAlice\r\n");

  // A multipart message with a 3 MiB attachment, base64-encoded in 76-character lines.
  std::string attachment;
  {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    uint32_t x = 12345;
    const size_t encoded = (3u << 20) / 3 * 4;
    attachment.reserve(encoded + encoded / 76 * 2 + 2);
    for (size_t i = 0; i < encoded; ++i) {
      x = x * 1103515245u + 12345u;
      attachment.push_back(alphabet[(x >> 16) & 63]);
      if ((i + 1) % 76 == 0) attachment += "\r\n";
    }
    attachment += "\r\n";
  }
  raw.emplace_back("multipart-large",
                   "From: Reports <reports@example.com>\r\n"
                   "To: team@example.com, Carol <carol@example.com>\r\n"
                   "Cc: archive@example.com\r\n"
                   "Subject: Quarterly figures\r\n"
                   "Date: Thu, 03 Dec 2026 08:00:00 +0100\r\n"
                   "Message-ID: <report-q4@example.com>\r\n"
                   "MIME-Version: 1.0\r\n"
                   "Content-Type: multipart/mixed; boundary=\"b1\"\r\n"
                   "\r\n"
                   "--b1\r\n"
                   "Content-Type: text/plain; charset=utf-8\r\n"
                   "\r\n"
                   "The figures are attached.\r\n"
                   "--b1\r\n"
                   "Content-Type: application/octet-stream\r\n"
                   "Content-Disposition: attachment; filename=\"figures.bin\"\r\n"
                   "Content-Transfer-Encoding: base64\r\n"
                   "\r\n" +
                       attachment + "--b1--\r\n");

  raw.emplace_back("non-ascii",
                   "From: =?UTF-8?B?SsO2cmcgTcO8bGxlcg==?= <joerg@example.de>\r\n"
                   "To: =?UTF-8?Q?Zo=C3=AB?= <zoe@example.fr>\r\n"
                   "Subject: =?UTF-8?B?R3LDvMOfZSBhdXMgTcO8bmNoZW4g4oCTIOadseS6rCDwn5iA?=\r\n"
                   "Date: Wed, 02 Dec 2026 18:30:00 +0100\r\n"
                   "Message-ID: <utf8-1@example.de>\r\n"
                   "MIME-Version: 1.0\r\n"
                   "Content-Type: multipart/mixed; boundary=\"b2\"\r\n"
                   "\r\n"
                   "--b2\r\n"
                   "Content-Type: text/plain; charset=utf-8\r\n"
                   "Content-Transfer-Encoding: 8bit\r\n"
                   "\r\n"
                   "Gr\xc3\xbc\xc3\x9f"
                   "e aus M\xc3\xbcnchen.\r\n"
                   "--b2\r\n"
                   "Content-Type: text/plain; charset=utf-8\r\n"
                   "Content-Disposition: attachment; filename*=UTF-8''%C3%BCbersicht.txt\r\n"
                   "\r\n"
                   "\xc3\xbc"
                   "bersicht\r\n"
                   "--b2--\r\n");

  raw.emplace_back("test-virus",
                   "From: Mallory <mallory@example.net>\r\n"
                   "To: Bob Example <bob@example.org>\r\n"
                   "Subject: Invoice attached\r\n"
                   "Date: Tue, 01 Dec 2026 23:59:59 -0500\r\n"
                   "Message-ID: <testvirus-1@example.net>\r\n"
                   "MIME-Version: 1.0\r\n"
                   "Content-Type: multipart/mixed; boundary=\"b3\"\r\n"
                   "\r\n"
                   "--b3\r\n"
                   "Content-Type: text/plain\r\n"
                   "\r\n"
                   "Please see the attachment.\r\n"
                   "--b3\r\n"
                   "Content-Type: application/octet-stream\r\n"
                   "Content-Disposition: attachment; filename=\"invoice.com\"\r\n"
                   "\r\n" +
                       TestVirusString() + "\r\n--b3--\r\n");

  std::vector<Message> messages;
  for (auto& [name, bytes] : raw) {
    Message m;
    if (!ParseMessage(name, bytes, m)) throw std::logic_error("built-in message does not parse: " + name);
    messages.push_back(std::move(m));
  }
  return messages;
}

uint64_t DigestBytes(const void* data, size_t size) {
  uint64_t h = 1469598103934665603ull;
  auto* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

std::string DigestText(uint64_t digest) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(digest));
  return text;
}

void CHeaderDigest::Mix(const void* data, size_t size) {
  auto* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) m_ullHash = (m_ullHash ^ p[i]) * 1099511628211ull;
}

void CHeaderDigest::Add(const CHeaderField& field) {
  const auto tag = static_cast<int32_t>(field.type);
  Mix(&tag, sizeof tag);
  Mix(&field.id, sizeof field.id);
  switch (field.type) {
    case CHeaderValue::kInt: {
      const auto n = static_cast<int32_t>(field.number);
      Mix(&n, sizeof n);
      break;
    }
    case CHeaderValue::kInt64:
      Mix(&field.number, sizeof field.number);
      break;
    case CHeaderValue::kString:
      Mix(field.text.data(), field.text.size());
      break;
    case CHeaderValue::kWString:
      Mix(field.wideUnits, size_t{field.wideCount} * sizeof(char16_t));
      break;
  }
}

uint64_t DigestHeaders(const std::vector<CHeaderValue>& headers) {
  CHeaderDigest digest;
  for (const CHeaderValue& v : headers) digest.Add(v.Field());
  return digest.Value();
}

}  // namespace mailhook
