#include "analysis/task.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

#include "foundation/config.h"
#include "foundation/errors.h"
#include "foundation/url.h"

namespace velmo::ai {

namespace {

[[noreturn]] void refuse(const std::string& message) { throw InvalidInput(message); }

// The longest task or stream id, in bytes (required_text says why there is one).
constexpr std::size_t kMaxIdBytes = 128;

// Every key of a task request that the parser reads, per object. The parser names a key only
// through these, and the keys reported as ignored are the ones missing here, so the two cannot
// drift apart. "streams" refuses keys of its own (its roles are kSlotRoles).
enum class TaskKey {
  task_id,
  stream_id,
  stream_url,
  device,
  fps,
  stream_role,
  callback_url,
  streams,
  scene,
  rules,
  count
};
enum class SceneKey {
  change_threshold,
  brightness_delta_threshold,
  blur_threshold,
  trigger_ms,
  cooldown_ms,
  hold_ms,
  baseline_mode,
  rois,
  ignore_zones,
  count
};
enum class RuleKey { type, zones, min_duration_ms, cooldown_ms, min_hits, lost_timeout_ms, count };

template <typename Key>
using KeyNames = std::array<const char*, static_cast<std::size_t>(Key::count)>;

constexpr KeyNames<TaskKey> kTaskKeys = {"task_id",     "stream_id",    "stream_url", "device", "fps",
                                         "stream_role", "callback_url", "streams",    "scene",  "rules"};
constexpr KeyNames<SceneKey> kSceneKeys = {"change_threshold", "brightness_delta_threshold",
                                           "blur_threshold",   "trigger_ms",
                                           "cooldown_ms",      "hold_ms",
                                           "baseline_mode",    "rois",
                                           "ignore_zones"};
constexpr KeyNames<RuleKey> kRuleKeys = {"type",        "zones",    "min_duration_ms",
                                         "cooldown_ms", "min_hits", "lost_timeout_ms"};

template <typename Key>
constexpr bool all_named(const KeyNames<Key>& names) {
  return std::none_of(names.begin(), names.end(), [](const char* name) { return name == nullptr; });
}
static_assert(all_named<TaskKey>(kTaskKeys) && all_named<SceneKey>(kSceneKeys) && all_named<RuleKey>(kRuleKeys),
              "every key has its name");

constexpr const char* key_name(TaskKey key) { return kTaskKeys[static_cast<std::size_t>(key)]; }
constexpr const char* key_name(SceneKey key) { return kSceneKeys[static_cast<std::size_t>(key)]; }
constexpr const char* key_name(RuleKey key) { return kRuleKeys[static_cast<std::size_t>(key)]; }

// How refusals name a key: scene and rule keys without their object ("task.cooldown_ms").
template <typename Key>
std::string key_label(Key key) {
  return std::string("task.") + key_name(key);
}

constexpr std::array kRuleTypes = {RuleType::intrusion};
constexpr std::array kBaselineModes = {BaselineMode::automatic, BaselineMode::manual};

// The value among `values` whose name is exactly `text`: a request's text is read here once, so
// the rest of the system never compares it again.
template <typename Enum, std::size_t N>
std::optional<Enum> named_value(std::string_view text, const std::array<Enum, N>& values, const char* (*name)(Enum)) {
  for (const Enum value : values) {
    if (text == name(value)) return value;
  }
  return std::nullopt;
}

template <typename Key>
const Json* find_key(const Json& object, Key key) {
  const auto it = object.find(key_name(key));
  return it == object.end() ? nullptr : &*it;
}

std::string required_text(const Json& body, TaskKey key) {
  const std::string label = key_label(key);
  const Json* value = find_key(body, key);
  if (value == nullptr || !value->is_string() || value->get_ref<const std::string&>().empty()) {
    refuse(label + " must be a non-empty string");
  }
  std::string text = value->get<std::string>();
  // Ids are path segments of the task and stream routes; a "/" would make the task unreachable,
  // and so would a path too long for the request line.
  if (text.find('/') != std::string::npos) refuse(label + " must not contain /");
  if (text.size() > kMaxIdBytes) refuse(label + " must be at most " + std::to_string(kMaxIdBytes) + " bytes");
  return text;
}

// An optional text key: absent gives the default; a value of another type is refused with the
// key's own message at the step where the key is validated.
struct OptionalText {
  const Json* value = nullptr;
  const char* fallback = "";

  std::string get(const std::string& message_on_wrong_type) const {
    if (value == nullptr) return fallback;
    if (!value->is_string()) refuse(message_on_wrong_type);
    return value->get<std::string>();
  }
};

template <typename Key>
OptionalText optional_text(const Json& object, Key key, const char* fallback) {
  return OptionalText{find_key(object, key), fallback};
}

// The whole JSON integer is compared with the bounds, never a narrowed copy of it.
template <typename Key>
std::int32_t integer_key(const Json& object, Key key, std::int32_t fallback, std::int32_t lo, std::int32_t hi) {
  const std::string label = key_label(key);
  const Json* value = find_key(object, key);
  if (value == nullptr) return fallback;
  if (!value->is_number_integer()) refuse(label + " must be an integer");
  if (value->is_number_unsigned()) {
    const std::uint64_t v = value->get<std::uint64_t>();
    if (v > static_cast<std::uint64_t>(hi) || (lo > 0 && v < static_cast<std::uint64_t>(lo))) {
      refuse(label + " is out of range");
    }
    return static_cast<std::int32_t>(v);
  }
  const std::int64_t v = value->get<std::int64_t>();
  if (v < lo || v > hi) refuse(label + " is out of range");
  return static_cast<std::int32_t>(v);
}

template <typename Key>
double number_key(const Json& object, Key key, double fallback, double lo, double hi) {
  const std::string label = key_label(key);
  const Json* value = find_key(object, key);
  if (value == nullptr) return fallback;
  if (!value->is_number()) refuse(label + " must be a number");
  const double v = value->get<double>();
  if (!(v >= lo && v <= hi)) refuse(label + " is out of range");
  return v;
}

Polygon parse_polygon(const Json& value, const std::string& label) {
  if (!value.is_array() || value.size() < 3) refuse(label + " must contain at least 3 points");
  Polygon polygon;
  polygon.reserve(value.size());
  for (const Json& point : value) {
    if (!point.is_array() || point.size() != 2 || !point[0].is_number() || !point[1].is_number()) {
      refuse(label + " points must be [x, y]");
    }
    const double x = point[0].get<double>();
    const double y = point[1].get<double>();
    if (!(x >= 0.0 && x <= 1.0 && y >= 0.0 && y <= 1.0)) {
      refuse(label + " coordinates must be normalized");
    }
    polygon.push_back(Point{x, y});
  }
  return polygon;
}

std::vector<Polygon> polygon_list(const Json& object, SceneKey key) {
  std::vector<Polygon> polygons;
  const Json* value = find_key(object, key);
  if (value == nullptr) return polygons;
  const std::string label = key_label(key);
  if (!value->is_array()) refuse(label + " must be an array");
  polygons.reserve(value->size());
  for (const Json& element : *value) polygons.push_back(parse_polygon(element, label));
  return polygons;
}

// The stream role that picks a slot by itself; every other role names one slot.
constexpr const char* kAutoRole = "auto";
// The roles that name a slot, in the order kAutoRole tries them.
constexpr std::array<std::string_view, 3> kSlotRoles = {"sub", "main", "custom"};

// Each slot of `sources` (const or not) with its role's name, in kSlotRoles' order.
template <typename Sources>
auto stream_slots(Sources& sources) {
  return std::array{std::pair{kSlotRoles[0], &sources.sub}, std::pair{kSlotRoles[1], &sources.main},
                    std::pair{kSlotRoles[2], &sources.custom}};
}

bool known_stream_role(std::string_view role) {
  return role == kAutoRole || std::find(kSlotRoles.begin(), kSlotRoles.end(), role) != kSlotRoles.end();
}

StreamSources parse_streams(const Json& streams, StreamSources sources) {
  if (!streams.is_object()) refuse("task.streams must be an object");
  // The document's objects are ordered maps, so roles are visited in ascending byte order.
  for (const auto& [role, value] : streams.items()) {
    std::string* slot = nullptr;
    for (const auto& [name, candidate] : stream_slots(sources)) {
      if (role == name) slot = candidate;
    }
    if (slot == nullptr) refuse("task.streams contains an unknown role");
    const std::string label = "task.streams." + role;
    if (!value.is_string() || value.get_ref<const std::string&>().empty()) {
      refuse(label + " must be a non-empty string");
    }
    const auto& url = value.get_ref<const std::string&>();
    check_request_url(url, UrlUse::stream, label);
    *slot = url;
  }
  return sources;
}

void select_stream(TaskConfig& config) {
  const std::string& role = config.stream_role;
  for (const auto& [name, url] : stream_slots(std::as_const(config.streams))) {
    if ((role == kAutoRole || role == name) && !url->empty()) {
      config.stream_url = *url;
      config.selected_stream_role = name;
      return;
    }
  }
  refuse("task does not provide the requested stream role");
}

SceneConfig parse_scene(const Json& scene) {
  if (!scene.is_object()) refuse("task.scene must be an object");
  SceneConfig config;
  config.change_threshold = number_key(scene, SceneKey::change_threshold, config.change_threshold, 0.0001, 1.0);
  config.brightness_delta_threshold =
      number_key(scene, SceneKey::brightness_delta_threshold, config.brightness_delta_threshold, 0.0, 255.0);
  config.blur_threshold = number_key(scene, SceneKey::blur_threshold, config.blur_threshold, 0.0, 10000.0);
  config.trigger_ms = integer_key(scene, SceneKey::trigger_ms, config.trigger_ms, 0, 60000);
  config.cooldown_ms = integer_key(scene, SceneKey::cooldown_ms, config.cooldown_ms, 0, 3600000);
  config.hold_ms = integer_key(scene, SceneKey::hold_ms, config.hold_ms, 0, 3600000);
  const std::string baseline_message = "task.scene.baseline_mode must be auto or manual";
  const std::string baseline_text =
      optional_text(scene, SceneKey::baseline_mode, baseline_mode_name(config.baseline_mode)).get(baseline_message);
  const std::optional<BaselineMode> baseline = named_value(baseline_text, kBaselineModes, baseline_mode_name);
  if (!baseline) refuse(baseline_message);
  config.baseline_mode = *baseline;
  config.rois = polygon_list(scene, SceneKey::rois);
  config.ignore_zones = polygon_list(scene, SceneKey::ignore_zones);
  config.hold_ms_given = find_key(scene, SceneKey::hold_ms) != nullptr;
  return config;
}

ZoneRule parse_rule(const Json& element) {
  if (!element.is_object()) refuse("task.rules entries must be objects");
  ZoneRule rule;
  const std::string type_message = "phase one supports only intrusion rules";
  const std::string type_text = optional_text(element, RuleKey::type, rule_type_name(rule.type)).get(type_message);
  const std::optional<RuleType> type = named_value(type_text, kRuleTypes, rule_type_name);
  if (!type) refuse(type_message);
  rule.type = *type;
  const Json* zones = find_key(element, RuleKey::zones);
  if (zones == nullptr || !zones->is_array() || zones->empty()) {
    refuse("intrusion rule requires at least one zone");
  }
  rule.zones.reserve(zones->size());
  for (const Json& zone : *zones) rule.zones.push_back(parse_polygon(zone, "task.rules[].zones"));
  rule.min_duration_ms = integer_key(element, RuleKey::min_duration_ms, rule.min_duration_ms, 0, 600000);
  rule.cooldown_ms = integer_key(element, RuleKey::cooldown_ms, rule.cooldown_ms, 0, 86400000);
  rule.min_hits = integer_key(element, RuleKey::min_hits, rule.min_hits, 1, 30);
  rule.lost_timeout_ms = integer_key(element, RuleKey::lost_timeout_ms, rule.lost_timeout_ms, 100, 600000);
  return rule;
}

std::vector<ZoneRule> parse_rules(const Json& body) {
  std::vector<ZoneRule> rules;
  const Json* value = find_key(body, TaskKey::rules);
  if (value == nullptr) return rules;
  if (!value->is_array()) refuse("task.rules must be an array");
  rules.reserve(value->size());
  for (const Json& element : *value) rules.push_back(parse_rule(element));
  return rules;
}

Json point_json(const Point& p) { return Json::array({p.x, p.y}); }

Json polygon_list_json(const std::vector<Polygon>& polygons) {
  Json list = Json::array();
  for (const Polygon& polygon : polygons) {
    Json points = Json::array();
    for (const Point& p : polygon) points.push_back(point_json(p));
    list.push_back(std::move(points));
  }
  return list;
}

}  // namespace

const char* rule_type_name(RuleType type) {
  switch (type) {
    case RuleType::intrusion: break;
  }
  return "intrusion";
}

const char* baseline_mode_name(BaselineMode mode) {
  switch (mode) {
    case BaselineMode::manual: return "manual";
    case BaselineMode::automatic: break;
  }
  return "auto";
}

TaskConfig parse_task_config(const Json& body) {
  if (!body.is_object()) refuse("task request must be a JSON object");
  TaskConfig config;
  config.task_id = required_text(body, TaskKey::task_id);
  config.stream_id = required_text(body, TaskKey::stream_id);

  const OptionalText stream_url = optional_text(body, TaskKey::stream_url, "");
  const OptionalText device = optional_text(body, TaskKey::device, "auto");
  config.fps = integer_key(body, TaskKey::fps, config.fps, 1, 30);
  const OptionalText stream_role = optional_text(body, TaskKey::stream_role, kAutoRole);
  const OptionalText callback_url = optional_text(body, TaskKey::callback_url, "");

  const std::string requested_url = stream_url.get("task.stream_url must use RTSP");
  if (!requested_url.empty()) check_request_url(requested_url, UrlUse::stream, key_label(TaskKey::stream_url));

  StreamSources sources;
  sources.custom = requested_url;
  if (const Json* streams = find_key(body, TaskKey::streams)) sources = parse_streams(*streams, sources);
  config.streams = sources;

  config.device = device.get("task.device must be auto, cpu, or gpu");
  require_inference_device(config.device, "task.device");

  const std::string role_message = "task.stream_role must be auto, sub, main, or custom";
  config.stream_role = stream_role.get(role_message);
  if (!known_stream_role(config.stream_role)) refuse(role_message);
  select_stream(config);

  config.callback_url = callback_url.get("phase one task.callback_url must use HTTP");
  if (!config.callback_url.empty()) {
    check_request_url(config.callback_url, UrlUse::callback, key_label(TaskKey::callback_url));
  }

  if (const Json* scene = find_key(body, TaskKey::scene)) config.scene = parse_scene(*scene);
  config.rules = parse_rules(body);
  return config;
}

Json task_config_json(const TaskConfig& config) {
  Json rules = Json::array();
  for (const ZoneRule& rule : config.rules) {
    rules.push_back(Json{{"type", rule_type_name(rule.type)},
                         {"zones", polygon_list_json(rule.zones)},
                         {"min_duration_ms", rule.min_duration_ms},
                         {"cooldown_ms", rule.cooldown_ms},
                         {"min_hits", rule.min_hits},
                         {"lost_timeout_ms", rule.lost_timeout_ms}});
  }
  const SceneConfig& scene = config.scene;
  return Json{{"task_id", config.task_id},
              {"stream_id", config.stream_id},
              {"stream_url", config.stream_url},
              {"streams",
               {{"main", config.streams.main}, {"sub", config.streams.sub}, {"custom", config.streams.custom}}},
              {"selected_stream_role", config.selected_stream_role},
              {"device", config.device},
              {"fps", config.fps},
              {"stream_role", config.stream_role},
              {"callback_url", config.callback_url},
              {"rules", std::move(rules)},
              {"scene",
               {{"change_threshold", scene.change_threshold},
                {"brightness_delta_threshold", scene.brightness_delta_threshold},
                {"blur_threshold", scene.blur_threshold},
                {"trigger_ms", scene.trigger_ms},
                {"cooldown_ms", scene.cooldown_ms},
                {"hold_ms", scene.hold_ms},
                {"baseline_mode", baseline_mode_name(scene.baseline_mode)},
                {"rois", polygon_list_json(scene.rois)},
                {"ignore_zones", polygon_list_json(scene.ignore_zones)}}}};
}

Json task_snapshot_json(const TaskSnapshot& snapshot) {
  return Json{{"config", task_config_json(snapshot.config)},
              {"phase", task_phase_name(snapshot.phase)},
              {"error", snapshot.error},
              {"last_error", snapshot.last_error},
              {"keyframe_starved", snapshot.keyframe_starved},
              {"stream_tls", snapshot.stream_tls},
              {"started_at", snapshot.started_at},
              {"statistics",
               {{"decode_fps", snapshot.decode_fps},
                {"inference_fps", snapshot.inference_fps},
                {"inference_fps_asked", snapshot.inference_fps_asked},
                {"inference_fps_achieved", snapshot.inference_fps_achieved},
                {"frames_decoded", snapshot.frames_decoded},
                {"frames_dropped", snapshot.frames_dropped},
                {"scenes_detected", snapshot.scenes_detected},
                {"detections", snapshot.detections},
                {"events_started", snapshot.events_started},
                {"events_ended", snapshot.events_ended},
                {"reconnects", snapshot.reconnects},
                {"events_published", snapshot.event_delivery.published},
                {"events_delivered", snapshot.event_delivery.delivered},
                {"events_dropped", snapshot.event_delivery.dropped()},
                {"events_queued", snapshot.event_delivery.queued},
                {"events_dropped_by_reason",
                 {{"queue_full", snapshot.event_delivery.dropped_queue_full},
                  {"gave_up", snapshot.event_delivery.dropped_gave_up},
                  {"undelivered_at_stop", snapshot.event_delivery.dropped_at_stop},
                  {"sink_failure", snapshot.event_delivery.dropped_fault}}},
                {"inference_latency_p50_ms", snapshot.inference_latency_p50_ms},
                {"inference_latency_p95_ms", snapshot.inference_latency_p95_ms},
                {"queue_depth", snapshot.queue_depth},
                {"execution_provider", snapshot.execution_provider},
                {"model", snapshot.model},
                {"model_version", snapshot.model_version}}}};
}

namespace {

template <typename Key>
void collect_unknown(const Json& object, const KeyNames<Key>& known, const std::string& prefix,
                     std::vector<std::string>& out) {
  for (const auto& [key, value] : object.items()) {
    if (std::find(known.begin(), known.end(), key) == known.end()) out.push_back(prefix + key);
  }
}

}  // namespace

std::vector<std::string> ignored_task_keys(const Json& body) {
  std::vector<std::string> ignored;
  if (!body.is_object()) return ignored;
  collect_unknown<TaskKey>(body, kTaskKeys, "", ignored);
  if (const Json* scene = find_key(body, TaskKey::scene); scene != nullptr && scene->is_object()) {
    collect_unknown<SceneKey>(*scene, kSceneKeys, "scene.", ignored);
  }
  if (const Json* rules = find_key(body, TaskKey::rules); rules != nullptr && rules->is_array()) {
    for (std::size_t i = 0; i < rules->size(); ++i) {
      const Json& rule = (*rules)[i];
      if (rule.is_object()) collect_unknown<RuleKey>(rule, kRuleKeys, "rules[" + std::to_string(i) + "].", ignored);
    }
  }
  return ignored;
}

std::string task_phase_name(TaskPhase phase) {
  switch (phase) {
    case TaskPhase::connecting: return "connecting";
    case TaskPhase::running: return "running";
    case TaskPhase::failed: return "failed";
    case TaskPhase::idle: break;
  }
  return "idle";
}

}  // namespace velmo::ai
