// What the mailhook command's service and hook share besides the layer's wire protocol
// (api/mh_Protocol.h): where files and sockets live, and the checks on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "api/mh_Files.h"
#include "api/mh_Protocol.h"

namespace mailhook {

// The default working folder for backing files of one pool.
std::filesystem::path DefaultWorkDir(int poolId);
// Each adopted resource keeps descriptors: takes as many as the administrator allows.
void RaiseDescriptorLimit();
// "backing files in FOLDER: tmpfs, 2 MiB pages" and the like (the nearest existing folder when
// folder is not made yet), with advice where another folder would carry large messages faster.
std::string StorageSummary(const std::filesystem::path& folder);
// True when data of this many bytes may have grown a backing file of the pool past what a
// process keeps mapped (the pool's MaxAllowedMemMapFileSize; the file's header and page rounding
// counted in). Only after such a message does the service drop its views by file size and the
// hook cut the file back; the rest of the time neither asks for a file's size. True for a pool
// this process does not know.
bool MayOutgrowKeptMapping(int poolId, uint64_t dataBytes);

std::string HumanBytes(double bytes);

}  // namespace mailhook
