#pragma once

#include <string>

namespace velmo::ai {

// Whether the optional CUDA runtime pack is unpacked into this program's installation root
// (the lib folder beside the folder that holds the executable). Never throws for file-system
// problems: they give false. Nothing is cached, so installing the pack takes effect at once.
bool cuda_runtime_pack_installed();

std::string cuda_runtime_install_hint();

// The user-facing explanation of a GPU failure, with `details` appended when not empty.
std::string cuda_runtime_failure_message(const std::string& details);

}  // namespace velmo::ai
