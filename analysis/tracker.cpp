#include "analysis/tracker.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <unordered_set>
#include <utility>

#include "foundation/time.h"

namespace velmo::ai {

namespace {

bool usable(const Detection& d) {
  return std::isfinite(d.score) && std::isfinite(d.box.x) && std::isfinite(d.box.y) && std::isfinite(d.box.w) &&
         std::isfinite(d.box.h) && d.box.valid();
}

double centre_x(const Rect& r) { return r.x + r.w * 0.5; }
double centre_y(const Rect& r) { return r.y + r.h * 0.5; }

bool within_unit(double v) { return v >= 0.0 && v <= 1.0; }  // false for NaN

}  // namespace

Tracker::Tracker(TrackerConfig config) : config_(config) {
  if (!within_unit(config_.min_iou) || !within_unit(config_.max_center_distance) || config_.confirm_hits <= 0 ||
      config_.forget_after_ms <= 0 || config_.coast_ms < 0) {
    throw std::invalid_argument("invalid tracker configuration");
  }
}

Rect Tracker::predicted_box(const TrackState& track, std::int64_t now) const {
  const std::int64_t unseen_ms = std::max<std::int64_t>(0, saturating_sub_ms(now, track.last_seen_ms));
  const double dt = static_cast<double>(std::min<std::int64_t>(unseen_ms, config_.coast_ms)) / 1000.0;
  Rect p = track.box;
  p.x = clamp01(p.x + track.vx * dt);
  p.y = clamp01(p.y + track.vy * dt);
  return p;
}

double Tracker::association_score(const TrackState& track, const Detection& detection, std::int64_t now) const {
  if (detection.label != track.label) return -1.0;
  const Rect p = predicted_box(track, now);
  const double i = iou(p, detection.box);
  const double d = center_distance(p, detection.box);
  if (i < config_.min_iou && d > config_.max_center_distance) return -1.0;
  return (2.0 * i + (1.0 - d)) + 0.1 * detection.score;
}

void Tracker::prune(std::int64_t now) {
  for (auto it = tracks_.begin(); it != tracks_.end();) {
    if (saturating_sub_ms(now, it->second.last_seen_ms) > config_.forget_after_ms) {
      it = tracks_.erase(it);
    } else {
      ++it;
    }
  }
}

std::vector<TrackObservation> Tracker::update(const std::vector<Detection>& detections, std::int64_t now) {
  // A track lost by now must not take a detection.
  prune(now);

  // Detections that can never describe a real box are treated as absent.
  std::vector<bool> taken(detections.size(), false);
  for (std::size_t k = 0; k < detections.size(); ++k) {
    if (!usable(detections[k])) taken[k] = true;
  }

  struct Pair {
    double score;
    TrackState* track;
    std::size_t detection;
  };
  std::vector<Pair> pairs;
  if (!tracks_.empty()) {
    for (auto& entry : tracks_) {
      for (std::size_t k = 0; k < detections.size(); ++k) {
        if (taken[k]) continue;
        const double score = association_score(entry.second, detections[k], now);
        if (score >= 0.0) pairs.push_back({score, &entry.second, k});
      }
    }
  }
  std::sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) { return a.score > b.score; });

  std::unordered_set<const TrackState*> matched;
  std::vector<TrackObservation> observations;
  for (const Pair& pair : pairs) {
    if (taken[pair.detection] || matched.count(pair.track) != 0) continue;
    taken[pair.detection] = true;
    matched.insert(pair.track);
    TrackState& track = *pair.track;
    const Detection& detection = detections[pair.detection];
    const double seconds =
        static_cast<double>(std::max<std::int64_t>(1, saturating_sub_ms(now, track.last_seen_ms))) / 1000.0;
    track.vx = (centre_x(detection.box) - centre_x(track.box)) / seconds;
    track.vy = (centre_y(detection.box) - centre_y(track.box)) / seconds;
    if (track.hits < std::numeric_limits<std::int32_t>::max()) ++track.hits;
    track.last_seen_ms = now;
    track.misses = 0;
    track.box = detection.box;
    track.score = detection.score;
  }

  for (auto& entry : tracks_) {
    TrackState& track = entry.second;
    if (matched.count(&track) != 0) {
      observations.push_back(
          {track.id, track.label, track.score, track.box, track.hits, track.hits >= config_.confirm_hits});
      continue;
    }
    if (track.misses < std::numeric_limits<std::int32_t>::max()) ++track.misses;
  }

  for (std::size_t k = 0; k < detections.size(); ++k) {
    if (taken[k]) continue;
    const Detection& detection = detections[k];
    TrackState track;
    track.id = "track-" + std::to_string(next_track_number_++);
    track.label = detection.label;
    track.box = detection.box;
    track.score = detection.score;
    track.first_seen_ms = now;
    track.last_seen_ms = now;
    track.hits = 1;
    observations.push_back(
        {track.id, track.label, track.score, track.box, track.hits, track.hits >= config_.confirm_hits});
    std::string id = track.id;
    tracks_.insert_or_assign(std::move(id), std::move(track));
  }

  std::sort(observations.begin(), observations.end(),
            [](const TrackObservation& a, const TrackObservation& b) { return a.score > b.score; });
  return observations;
}

void Tracker::reset() {
  tracks_.clear();
  next_track_number_ = 1;
}

}  // namespace velmo::ai
