#include "analysis/event_documents.h"

#include <cstdint>
#include <utility>
#include <variant>

namespace velmo::ai {
namespace {

Json rect_json(const Rect& r) { return Json{{"h", r.h}, {"w", r.w}, {"x", r.x}, {"y", r.y}}; }

Json event_base(const EventSource& source, const char* event_type, EventState state, const std::string& event_id) {
  return Json{{"event_id", event_id},     {"event_state", event_state_text(state)}, {"event_type", event_type},
              {"model", source.model},    {"model_version", source.model_version},  {"stream_id", source.stream_id},
              {"task_id", source.task_id}};
}

Json rule_event_document(const EventSource& source, const RuleEvent& rule, const std::string& event_id) {
  Json boxes = Json::array();
  for (const PersonBox& d : rule.boxes) {
    boxes.push_back(Json{
        {"h", d.box.h}, {"score", d.score}, {"track_id", d.track_id}, {"w", d.box.w}, {"x", d.box.x}, {"y", d.box.y}});
  }
  Json message = event_base(source, rule.event_type.c_str(), rule.event_state, event_id);
  message["boxes"] = std::move(boxes);
  message["ended_at"] = rule.ended_at;
  message["label"] = rule.label;
  message["rule_index"] = static_cast<std::uint64_t>(rule.rule_index);
  message["score"] = rule.score;
  message["started_at"] = rule.started_at;
  message["track_id"] = rule.track_id;
  return message;
}

Json scene_event_document(const EventSource& source, const SceneEvent& scene, const std::string& event_id) {
  Json message = event_base(source, "scene_change", scene.state, event_id);
  message["boxes"] = Json::array();
  message["ended_at"] = scene.ended_at;
  message["label"] = "scene";
  message["score"] = 0.0;
  message["started_at"] = scene.started_at;
  message["track_id"] = "";
  return message;
}

}  // namespace

Json detections_message(const EventSource& source, const InferenceRun& run) {
  Json boxes = Json::array();
  for (const TrackObservation& track : run.tracks) {
    boxes.push_back(Json{
        {"box", rect_json(track.box)}, {"label", track.label}, {"score", track.score}, {"track_id", track.track_id}});
  }
  return Json{{"boxes", std::move(boxes)},
              {"stream_id", source.stream_id},
              {"task_id", source.task_id},
              {"timestamp", run.timestamp},
              {"type", "detections"}};
}

Json event_document(const EventSource& source, const AnalysisEvent& event, const std::string& event_id) {
  if (const auto* rule = std::get_if<RuleEvent>(&event)) return rule_event_document(source, *rule, event_id);
  return scene_event_document(source, std::get<SceneEvent>(event), event_id);
}

}  // namespace velmo::ai
