#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "analysis/task.h"
#include "analysis/tracker.h"
#include "foundation/clock.h"
#include "foundation/geometry.h"

namespace velmo::ai {

// One person of an intrusion event: its last box and score, and its track, so that a receiver can
// pair each person's start with its end.
struct PersonBox : Detection {
  std::string track_id;
};

// Whether an event opens or closes what it reports.
enum class EventState { started, ended };
// "started" or "ended", as the event documents write it.
const char* event_state_text(EventState state);

struct RuleEvent {
  std::string event_type = "intrusion";
  EventState event_state = EventState::started;
  std::string label = "person";
  double score = 0.0;            // of the representative person
  std::string track_id;          // of the representative person
  std::int64_t started_at = 0;   // wall-clock ms
  std::int64_t ended_at = 0;     // wall-clock ms; 0 in a "started" event
  std::vector<PersonBox> boxes;  // one per person in the event
  std::size_t rule_index = 0;    // the rule's place in the task's rules, from 0; set by its owner
};

// One intrusion rule: a confirmed person whose feet stay inside a zone long and often enough starts
// an intrusion, which ends once the person has been out of every zone for the lost timeout; a
// cooldown then holds back a new start for that person. Stays, timeouts and cooldowns are measured
// on the instants' monotonic times; events are stamped with their wall times, and an "ended" event
// carries the very stamp its "started" had. Not thread-safe: one per analysis thread.
class IntrusionRule {
 public:
  // Throws std::invalid_argument "invalid intrusion rule configuration".
  explicit IntrusionRule(ZoneRule rule);

  // At most one "started" event, then at most one "ended" event, each grouping every person that
  // started or ended at `now`. An empty list starts nothing but still ends and forgets on time.
  std::vector<RuleEvent> update(const std::vector<TrackObservation>& observations, Instant now);

  // Ends every open intrusion in one "ended" event, without a cooldown.
  std::vector<RuleEvent> flush(Instant now);

  // The box's bottom centre lies in at least one zone (edges count as inside).
  bool inside_any_zone(const Rect& box) const;

  void reset();

 private:
  struct PersonState {
    std::int64_t first_inside_ms = 0;  // monotonic, as the two below
    std::int64_t last_inside_ms = 0;
    std::int64_t cooldown_until_ms = 0;
    std::int64_t started_at = 0;  // the wall stamp of the open intrusion's start
    std::int32_t inside_hits = 0;
    bool active = false;
    double score = 0.0;
    Rect box;
  };

  struct Ending {
    std::string track_id;
    double score;
    Rect box;
    std::int64_t started_at;
  };

  static RuleEvent ended_event(const std::vector<Ending>& ending, std::int64_t ended_at);

  ZoneRule rule_;
  std::unordered_map<std::string, PersonState> persons_;
};

}  // namespace velmo::ai
