// What the mailhook command's subcommands share beside the layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include <mailhook/mh_Error.h>
#include <mailhook/mh_HookClient.h>
#include <mailhook/mh_Runtime.h>

namespace mailhook {

// Each adopted resource keeps descriptors: takes as many as the administrator allows.
void RaiseDescriptorLimit();
// Whether the command's standard output is a terminal (not a pipe or a file).
bool StdoutIsTerminal();
std::string HumanBytes(double bytes);

}  // namespace mailhook
