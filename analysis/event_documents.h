#pragma once

#include <string>

#include "analysis/analysis_step.h"
#include "foundation/json.h"

namespace velmo::ai {

// What every event of a task says about where it comes from.
struct EventSource {
  std::string task_id;
  std::string stream_id;
  std::string model;
  std::string model_version;
};

// The "detections" message of one inference run.
Json detections_message(const EventSource& source, const InferenceRun& run);

// The document posted for an intrusion or a scene-change event; `event_id` names it in every
// delivery attempt.
Json event_document(const EventSource& source, const AnalysisEvent& event, const std::string& event_id);

}  // namespace velmo::ai
