// A small RFC 5322 header splitter: cuts a message's bytes into its header fields and its body,
// with no MIME library. The Windows build reads messages with it (GMime has no MinGW package);
// on Linux it is checked against GMime's own header list over a corpus of real mail.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace mailhook {

struct HeaderField {
  size_t offset;              // where the field's name starts in the message
  std::string name;           // as written, without the colon or blanks before it
  std::string raw;            // everything after the colon, folding and the final line end included
  std::string Value() const;  // unfolded, blanks at both ends removed
};

struct SplitMessage {
  std::vector<HeaderField> fields;  // in message order
  size_t headersEnd = 0;            // where the header block ends (the blank line starts)
  size_t bodyOffset = 0;            // where the body starts (after the blank line)
};

// Splits raw message bytes. Lines that cannot be fields (no colon, or a name with blanks or
// controls in it) are skipped, as mail readers do. Never fails: a message with no blank line is
// all header, one with no fields has an empty list.
SplitMessage SplitHeaders(std::string_view raw);

}  // namespace mailhook
