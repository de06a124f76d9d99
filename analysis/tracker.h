#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/geometry.h"

namespace velmo::ai {

// The tracker's own settings. Its names differ from a rule's on purpose: a rule's `min_hits` and
// `lost_timeout_ms` decide when an intrusion starts and ends, these when a track is confirmed and
// forgotten; the analysis step derives the second from the first.
struct TrackerConfig {
  double min_iou = 0.2;                 // below this overlap an association also needs a close centre
  double max_center_distance = 0.16;    // beyond this distance an association also needs enough overlap
  std::int32_t confirm_hits = 2;        // matches, first sighting included, that confirm a track
  std::int32_t forget_after_ms = 5000;  // a track unseen for longer than this is forgotten
  // An unseen track is extrapolated along its velocity for at most this long, then waits where
  // that left it: over a long miss a person is looked for near where they were last seen.
  std::int32_t coast_ms = 1000;
};

// One track matched or opened by the latest update.
struct TrackObservation {
  std::string track_id;
  std::string label;
  double score = 0.0;
  Rect box;  // this update's detection box
  std::int32_t hits = 0;
  bool confirmed = false;
};

// Gives each detected person a stable id across inference runs by greedy association on overlap
// and centre distance against each track's predicted box. Not thread-safe: one per analysis thread.
class Tracker {
 public:
  // Throws std::invalid_argument "invalid tracker configuration".
  explicit Tracker(TrackerConfig config);

  // One association step at monotonic `now`; returns the tracks matched or opened by it, highest
  // score first. Detections with a non-finite number or an empty box are ignored.
  std::vector<TrackObservation> update(const std::vector<Detection>& detections, std::int64_t now);

  // Forgets all tracks; numbering starts again at 1.
  void reset();

 private:
  struct TrackState {
    std::string id;
    std::string label;
    Rect box;  // the last matched box; a coasting track's position is predicted from it
    double score = 0.0;
    double vx = 0.0;  // box centre velocity, normalized units per second
    double vy = 0.0;
    std::int64_t first_seen_ms = 0;
    std::int64_t last_seen_ms = 0;
    std::int32_t hits = 0;
    std::int32_t misses = 0;
  };

  Rect predicted_box(const TrackState& track, std::int64_t now) const;
  // Negative when the pair must not be associated.
  double association_score(const TrackState& track, const Detection& detection, std::int64_t now) const;
  void prune(std::int64_t now);

  TrackerConfig config_;
  std::unordered_map<std::string, TrackState> tracks_;
  std::uint64_t next_track_number_ = 1;
};

}  // namespace velmo::ai
