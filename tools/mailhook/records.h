// Reading a whole header list back into records, through the library's reader.
#pragma once

#include <vector>

#include "messages.h"

class CInputHookHeadersImp;
class COutputHookHeaders;

namespace mailhook {

// Every record the reader indexed, id by id in ascending order, each id's values in list order.
std::vector<HeaderValue> ReadRecords(CInputHookHeadersImp& reader);

// Writes one record as its kind says; the writer's result (0: written).
int WriteRecord(COutputHookHeaders& writer, const HeaderValue& value);

}  // namespace mailhook
