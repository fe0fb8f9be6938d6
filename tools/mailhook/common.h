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
std::string HumanBytes(double bytes);

}  // namespace mailhook
