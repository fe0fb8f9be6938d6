#include <mailhook/mh_Error.h>

#include <utility>

#include "api/mh_Protocol.h"

namespace mailhook {

CMailhookError::CMailhookError(Code code, std::string message)
    : m_eCode(code), m_sMessage(std::string(CodeName(code)) + ": " + std::move(message)) {}

const char* CMailhookError::what() const noexcept {
  return m_sMessage.c_str();
}

const char* CMailhookError::CodeName(Code code) noexcept {
  switch (code) {
    case SERVICE_UNAVAILABLE:
      return "service unavailable";
    case TIMEOUT:
      return "time-out";
    case TOO_LARGE:
      return "too large";
    case DISK_FULL:
      return "disk full";
    case FILE_CUT_SHORT:
      return "backing file cut short";
    case FILE_REPLACED:
      return "backing file replaced";
    case REFUSED:
      return "refused";
    case SERVICE_FAILED:
      return "service failed";
    case PROTOCOL:
      return "protocol error";
    case SYSTEM:
      return "system error";
    case INVALID_ARGUMENT:
      return "invalid argument";
  }
  return "error";
}

CMailhookError CMailhookError::FromStatus(int32_t status) {
  const std::string n = " (status " + std::to_string(status) + ")";
  switch (status) {
    case kStatusFailed:
      return {SERVICE_FAILED, "the service could not scan the message" + n};
    case kStatusRefused:
      return {REFUSED, "the service refused files outside its working folder" + n};
    case kStatusPoolUnknown:
      return {REFUSED, "the service does not know the pool" + n};
    case kStatusResourceUnknown:
      return {REFUSED, "the service does not know a named resource" + n};
    case kStatusResourceBusy:
      return {REFUSED, "a named resource is in use by another request of the service" + n};
    case kStatusStale:
      return {REFUSED, "the service took the request for one given up on" + n};
    case kStatusBadRequest:
      return {PROTOCOL, "the service took the request for malformed" + n};
    default:
      return {PROTOCOL, "the service answered an unknown status" + n};
  }
}

}  // namespace mailhook
