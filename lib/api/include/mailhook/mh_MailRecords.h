// The header-list record ids that the mailhook command's hook and milter write and its service
// answers with: the one place they are written down. The library gives ids no meaning; a
// service written against these ids can stand behind the mailhook milter, and a hook of one's
// own can be scanned by the mailhook service.
#pragma once

#include <cstdint>

namespace mailhook {

enum MailRecordId : int32_t {
  // The hook's list, beside the content (the whole message as the mail server has it: header
  // fields, a blank line, the body).
  kHdrFrom = 1,           // text: the From field (the command's hook, parsed)
  kHdrTo = 2,             // text: one record per To address
  kHdrCc = 3,             // text: one record per Cc address
  kHdrSubject = 4,        // text, decoded
  kHdrDate = 5,           // int64: seconds since 1970
  kHdrMessageId = 6,      // text
  kHdrMimeType = 7,       // text: the top-level content type
  kHdrPartCount = 20,     // int: MIME parts
  kHdrAttachment = 21,    // text: one record per attachment file name
  kHdrMessageSize = 22,   // int64: bytes of the content
  kHdrSequence = 30,      // int: the hook's number for the message
  kHdrProveReading = 31,  // int 1: the service is to answer with digests of what it read (below)
  // The SMTP envelope, as the milter has it from the mail server.
  kHdrClientAddress = 40,  // text: the connecting client's address ("127.0.0.1", "[::1]"...)
  kHdrClientName = 41,     // text: its name as the mail server resolved it, else "unknown"
  kHdrHelo = 42,           // text: the HELO/EHLO argument
  kHdrMailFrom = 43,       // text: the envelope sender as given ("<a@example.org>", "<>")
  kHdrRcptTo = 44,         // text: one record per envelope recipient, in order
  kHdrQueueId = 45,        // text: the mail server's queue id
  kHdrOther = 100,         // text: "Name: value" per header field in message order (the command's hook:
                           // those not above; the milter: every field, unfolded as the server gives it)

  // The service's update list.
  kHdrVerdict = 200,        // text: "clean", "infected: <signature>" or "not scanned: <why>"
  kHdrScannedBytes = 201,   // int64: content bytes the service read
  kHdrHeadersSeen = 202,    // int: records the service read
  kHdrHeadersDigest = 203,  // int64: digest of the records the service read (when asked)
  kHdrContentDigest = 204,  // int64: digest of the content the service read (when asked)
  kHdrAnswered = 205,       // int: the kHdrSequence of the message the service answered
  kHdrEngine = 206,         // text: what scanned ("libclamav 1.4.2, 12 signatures")
  // Header fields for the mail server to add or change, "Name: value" each, applied in order.
  kHdrAddField = 210,     // added at the end of the header
  kHdrChangeField = 211,  // replaces the first field of that name (added when there is none)
};

}  // namespace mailhook
