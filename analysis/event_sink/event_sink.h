#pragma once

#include <cstdint>

#include "foundation/json.h"

namespace velmo::ai {

// What a sink has done with the events handed to it. At any moment
// published = delivered + dropped() + queued + handed_over.
struct EventDeliveryCounts {
  std::uint64_t published = 0;  // handed to the sink, those taken over from a replaced task's included
  std::uint64_t delivered = 0;
  std::uint64_t queued = 0;              // waiting, or being delivered now
  std::uint64_t handed_over = 0;         // passed on to the sink of the task that replaced this one
  std::uint64_t dropped_queue_full = 0;  // the oldest, pushed out of a full queue
  std::uint64_t dropped_gave_up = 0;     // their attempts and retry window ran out
  std::uint64_t dropped_at_stop = 0;     // still undelivered when the stop's drain budget ran out
  std::uint64_t dropped_fault = 0;       // lost to a failure of the sink itself

  std::uint64_t dropped() const { return dropped_queue_full + dropped_gave_up + dropped_at_stop + dropped_fault; }
};

// Where the analysis pipeline hands over rule and scene-change events. publish is called from the
// task's analysis thread and must not wait for the network; stop is called once the pipeline's
// threads have ended and delivers (or gives up) what is queued.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void publish(Json event) = 0;
  virtual void stop() = 0;
  // Ends like stop(), except that what is still undelivered goes on in `successor` (in order,
  // ahead of what it holds itself) when both post to the same place.
  virtual void stop_into(EventSink& successor) {
    (void)successor;
    stop();
  }
  // Callable from any thread at any time.
  virtual EventDeliveryCounts counts() const { return {}; }
};

}  // namespace velmo::ai
