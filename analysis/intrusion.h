#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "analysis/task.h"
#include "analysis/tracker.h"
#include "foundation/geometry.h"

namespace velmo::ai {

// One person of an intrusion event: its last box and score, and its track, so that a receiver can
// pair each person's start with its end.
struct PersonBox : Detection {
  std::string track_id;
};

struct RuleEvent {
  std::string event_type = "intrusion";
  std::string event_state;  // "started" or "ended"
  std::string label = "person";
  double score = 0.0;       // of the representative person
  std::string track_id;     // of the representative person
  std::int64_t started_at = 0;
  std::int64_t ended_at = 0;  // 0 in a "started" event
  std::vector<PersonBox> boxes;  // one per person in the event
};

// One intrusion rule: a confirmed person whose feet stay inside a zone long and often enough starts
// an intrusion, which ends once the person has been out of every zone for the lost timeout; a
// cooldown then holds back a new start for that person. Not thread-safe: one per analysis thread.
class IntrusionRule {
 public:
  // Throws std::invalid_argument "invalid intrusion rule configuration".
  explicit IntrusionRule(ZoneRule rule);

  // At most one "started" event, then at most one "ended" event, each grouping every person that
  // started or ended at `now`. An empty list starts nothing but still ends and forgets on time.
  std::vector<RuleEvent> update(const std::vector<TrackObservation>& observations, std::int64_t now);

  // Ends every open intrusion in one "ended" event, without a cooldown.
  std::vector<RuleEvent> flush(std::int64_t now);

  // The box's bottom centre lies in at least one zone (edges count as inside).
  bool inside_any_zone(const Rect& box) const;

  void reset();

 private:
  struct PersonState {
    std::int64_t first_inside_ms = 0;
    std::int64_t last_inside_ms = 0;
    std::int64_t started_at_ms = 0;
    std::int64_t cooldown_until_ms = 0;
    std::int32_t inside_hits = 0;
    bool active = false;
    double score = 0.0;
    Rect box;
  };

  struct Ending {
    std::string track_id;
    double score;
    Rect box;
    std::int64_t started_at_ms;
  };

  static RuleEvent ended_event(const std::vector<Ending>& ending, std::int64_t now);
  // Moves the stored times back by a backwards clock step so that stays, lost timeouts and
  // cooldowns carry on from where they were instead of freezing for the size of the step.
  void absorb_clock_step(std::int64_t now);

  ZoneRule rule_;
  std::unordered_map<std::string, PersonState> persons_;
  bool has_previous_call_ = false;
  std::int64_t previous_call_ms_ = 0;
};

}  // namespace velmo::ai
