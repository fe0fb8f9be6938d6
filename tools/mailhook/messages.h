// Messages as the hook carries them: the raw bytes as the mail server hands them over (the
// content), and the header list the hook writes beside them, parsed from the same bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace mailhook {

// Header ids of the header lists the command writes. The library gives ids no meaning; these
// are this program's own.
enum HeaderId : int {
  kHdrFrom = 1,
  kHdrTo = 2,
  kHdrCc = 3,
  kHdrSubject = 4,
  kHdrDate = 5,
  kHdrMessageId = 6,
  kHdrMimeType = 7,
  kHdrPartCount = 20,      // int: MIME parts
  kHdrAttachment = 21,     // one record per attachment file name
  kHdrMessageSize = 22,    // int64: bytes of the raw message
  kHdrSequence = 30,       // int: position in the run
  kHdrOther = 100,         // "Name: value" of every other header, in message order
  kHdrVerdict = 200,       // written by the service: "clean", "infected: <name>" or "not scanned: <why>"
  kHdrScannedBytes = 201,  // int64: content bytes the service read
  kHdrHeadersSeen = 202,   // int: records the service read
  kHdrHeadersDigest = 203, // int64: digest of the records the service read
  kHdrContentDigest = 204, // int64: digest of the content the service read
  kHdrAnswered = 205,      // int: the sequence of the request the service answered
};

// One record of a header list.
struct HeaderValue {
  enum Kind { Int, String, WString, Int64 } kind;
  int id;
  int32_t i32 = 0;
  int64_t i64 = 0;
  std::string str;     // String: bytes as written (ASCII)
  std::u16string wstr; // WString: UTF-16

  static HeaderValue MakeInt(int id, int32_t v) { return {Int, id, v, 0, {}, {}}; }
  static HeaderValue MakeInt64(int id, int64_t v) { return {Int64, id, 0, v, {}, {}}; }
  // ASCII text travels as a string, anything else as a wide string.
  static HeaderValue MakeText(int id, const std::string& utf8);
  bool operator==(const HeaderValue& o) const;
};

struct Message {
  std::string name;           // where it came from, for reports
  std::string raw;            // the content
  std::vector<HeaderValue> headers;
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

// FNV-1a over a header list's records and over content, the same on both sides.
uint64_t DigestHeaders(const std::vector<HeaderValue>& headers);
uint64_t DigestBytes(const void* data, size_t size);
// A digest as the digest logs write it: 16 hex digits.
std::string DigestText(uint64_t digest);

// A file's bytes; throws std::runtime_error if it cannot be read.
std::string ReadWholeFile(const std::filesystem::path& path);

std::u16string Utf8To16(const std::string& s);
std::string Utf16To8(const std::u16string& s);

}  // namespace mailhook
