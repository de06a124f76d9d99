#include "foundation/json.h"

#include "foundation/errors.h"

namespace velmo::ai {
namespace {

// The JSON library's out_of_range id for a number that does not fit its type.
constexpr int kNumberOverflow = 406;

}  // namespace

Json parse_json(const std::string& text) {
  try {
    return Json::parse(text, nullptr, true, false);
  } catch (const nlohmann::json::parse_error& e) {
    throw InvalidInput(std::string("invalid JSON: ") + e.what());
  } catch (const nlohmann::json::out_of_range& e) {
    // A number too large for a double (1e400) is bad input like any syntax error.
    if (e.id != kNumberOverflow) throw;
    throw InvalidInput(std::string("invalid JSON: ") + e.what());
  }
}

std::string dump_json(const Json& value) { return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict); }

}  // namespace velmo::ai
