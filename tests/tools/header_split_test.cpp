// The header splitter against GMime's reader: the same fields (names and raw values, in order)
// and the same end of the header block, over the Python test-suite's mail corpus (arbitrary
// bytes are the fuzz target's).
#include <gmime/gmime.h>

#include <filesystem>
#include <map>
#include <utility>

#include <gtest/gtest.h>

#include "header_split.h"
#include "support/test_support.h"

namespace {

struct Reading {
  bool message = false;  // GMime made a message of the bytes
  std::vector<std::pair<std::string, std::string>> fields;
  long long headersEnd = -1;  // -1: GMime could not say
};

// GMime files Content-* fields under the message's top part; both lists together, in the order
// they were written, are the message's fields.
Reading ReadWithGMime(const std::string& raw) {
  Reading r;
  GMimeStream* stream = g_mime_stream_mem_new_with_buffer(raw.data(), raw.size());
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  GMimeMessage* msg = g_mime_parser_construct_message(parser, nullptr);
  if (msg != nullptr) {
    r.message = true;
    std::map<long long, std::pair<std::string, std::string>> byOffset;
    for (GMimeObject* o : {GMIME_OBJECT(msg), g_mime_message_get_mime_part(msg)}) {
      GMimeHeaderList* list = o ? g_mime_object_get_header_list(o) : nullptr;
      for (int i = 0; list && i < g_mime_header_list_get_count(list); ++i) {
        GMimeHeader* h = g_mime_header_list_get_header_at(list, i);
        if (g_mime_header_get_offset(h) >= 0)
          byOffset[g_mime_header_get_offset(h)] = {g_mime_header_get_name(h), g_mime_header_get_raw_value(h)};
      }
    }
    for (auto& [offset, field] : byOffset) r.fields.push_back(field);
    r.headersEnd = g_mime_parser_get_headers_end(parser);
    g_object_unref(msg);
  }
  g_object_unref(parser);
  g_object_unref(stream);
  return r;
}

}  // namespace

TEST(HeaderSplit, SameFieldsAndHeaderEndAsGMime) {
  g_mime_init();
  std::vector<std::pair<std::string, std::string>> cases;
  const std::filesystem::path corpus = "/usr/lib/python3.11/test/test_email/data";
  std::error_code ec;
  for (auto& entry : std::filesystem::directory_iterator(corpus, ec))
    if (entry.path().extension() == ".txt")
      cases.emplace_back(entry.path().filename().string(), mhtest::ReadFile(entry.path()));
  const bool haveCorpus = cases.size() > 20;

  for (const auto& [name, raw] : cases) {
    SCOPED_TRACE(name);
    Reading expected = ReadWithGMime(raw);
    mailhook::SplitMessage split = mailhook::SplitHeaders(raw);
    // Bytes GMime does not take for a message have no field for the splitter either.
    if (!expected.message) {
      EXPECT_TRUE(split.fields.empty());
      continue;
    }
    std::vector<std::pair<std::string, std::string>> got;
    for (const auto& f : split.fields) got.emplace_back(f.name, f.raw);
    EXPECT_EQ(got, expected.fields);
    if (expected.headersEnd >= 0) {
      EXPECT_EQ(static_cast<long long>(split.headersEnd), expected.headersEnd);
      // The body is what follows the blank line, the same bytes the reader hands on.
      EXPECT_GE(split.bodyOffset, split.headersEnd);
      EXPECT_LE(split.bodyOffset, raw.size());
      std::string_view gap(raw.data() + split.headersEnd, split.bodyOffset - split.headersEnd);
      EXPECT_TRUE(gap.empty() || gap == "\n" || gap == "\r\n") << "blank line " << gap.size() << " bytes";
    }
  }
  if (!haveCorpus) GTEST_SKIP() << "no mail corpus installed (Debian package libpython3.11-testsuite)";
}
