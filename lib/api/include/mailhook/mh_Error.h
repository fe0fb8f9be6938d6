// The one error type the layer's calls throw. The code is what a caller acts on (wait and try
// again, give up on the message, free disk space, look at the backing files); the message says
// what happened, in words a log reader can follow.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include <mailhook/mailhook_export.h>

namespace mailhook {

class MAILHOOK_API CMailhookError : public std::exception {
 public:
  enum Code : int {
    SERVICE_UNAVAILABLE = 1,  // no service answered before the caller's deadline
    TIMEOUT = 2,              // the service took the request but gave no reply in time
    TOO_LARGE = 3,            // a header list or content larger than a resource may grow
    DISK_FULL = 4,            // a backing file could not grow
    FILE_CUT_SHORT = 5,       // another process cut a mapped backing file short
    FILE_REPLACED = 6,        // a backing file is no longer private to this user
    REFUSED = 7,              // the service refused the request or the registration
    SERVICE_FAILED = 8,       // the service could not scan the message
    PROTOCOL = 9,             // the other side broke the protocol (a bad reply, a bad frame)
    SYSTEM = 10,              // a system call failed
    INVALID_ARGUMENT = 11,    // the caller asked for what the layer cannot do (a 0 byte in a header string)
  };

  CMailhookError(Code code, std::string message);
  const char* what() const noexcept override;
  Code GetCode() const noexcept { return m_eCode; }

  // The error for a non-zero status in a service's reply; kStatusOk is not an error.
  static CMailhookError FromStatus(int32_t status);
  // "service unavailable", "time-out", ...: the code's words, as messages and logs show them.
  static const char* CodeName(Code code) noexcept;

 private:
  Code m_eCode;
  std::string m_sMessage;
};

}  // namespace mailhook
