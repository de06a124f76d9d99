#pragma once

#include <string_view>

namespace velmo::ai {

// Names the calling thread for `top -H`, /proc and debuggers. Linux keeps at most 15 bytes: longer
// names are cut there (never inside a UTF-8 sequence). Best effort: a refusal is ignored.
void set_thread_name(std::string_view name);

}  // namespace velmo::ai
