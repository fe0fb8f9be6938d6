// Messages as the hook carries them: the raw bytes as the mail server hands them over (the
// content), and the header list the hook writes beside them, parsed from the same bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <mailhook/mh_HeaderList.h>
#include <mailhook/mh_MailRecords.h>

namespace mailhook {

struct Message {
  std::string name;  // where it came from, for reports
  std::string raw;   // the content
  std::vector<CHeaderValue> headers;
};

// Parses raw RFC 5322 bytes into a message; false if they are not a message at all. With GMime
// (messages_gmime.cpp) addresses, encoded words, dates and MIME parts are read; without it
// (messages_plain.cpp, the Windows build) the fields are taken as written, unfolded.
bool ParseMessage(const std::string& name, std::string raw, Message& out);

// Appends every message of an mbox's bytes, named "<name>#<n>" (by the reader in use).
void ReadMbox(const std::string& name, const std::string& data, std::vector<Message>& out);

// Every message of an input: a folder of .eml files (sorted by name), an mbox file, or one
// message file. Throws std::runtime_error when nothing can be read.
std::vector<Message> LoadMessages(const std::filesystem::path& input);

// The built-in set: plain, multipart with a large attachment, non-ASCII subjects, and one
// carrying the anti-virus test string.
std::vector<Message> BuiltinMessages();

// The standard anti-virus test string, assembled at run time so that this program's own
// source and binary never carry it whole.
const std::string& TestVirusString();

// FNV-1a over a header list's records and over content, the same on both sides: the hook over
// the values it wrote, the service over the fields as it reads them in place.
class CHeaderDigest {
 public:
  void Add(const CHeaderField& field);
  uint64_t Value() const { return m_ullHash; }

 private:
  void Mix(const void* data, size_t size);
  uint64_t m_ullHash = 1469598103934665603ull;
};
uint64_t DigestHeaders(const std::vector<CHeaderValue>& headers);
uint64_t DigestBytes(const void* data, size_t size);
// A digest as the digest logs write it: 16 hex digits.
std::string DigestText(uint64_t digest);

// A file's bytes; throws std::runtime_error if it cannot be read.
std::string ReadWholeFile(const std::filesystem::path& path);

}  // namespace mailhook
