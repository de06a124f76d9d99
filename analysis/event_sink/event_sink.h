#pragma once

#include "foundation/json.h"

namespace velmo::ai {

// Where the analysis pipeline hands over rule and scene-change events. publish is called from the
// task's analysis thread and must not wait for the network; stop is called once the pipeline's
// threads have ended and delivers (or gives up) what is queued.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void publish(Json event) = 0;
  virtual void stop() = 0;
};

}  // namespace velmo::ai
