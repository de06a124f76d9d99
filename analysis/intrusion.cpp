#include "analysis/intrusion.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <unordered_set>
#include <utility>

#include "foundation/time.h"

namespace velmo::ai {

namespace {

// Sightings come once per sampled picture; at one picture a second (key frames only, or IdleFPS 1)
// they are about 1000 ms apart plus the stream's jitter, so a limit of exactly 1000 ms would restart
// most stays and intrusions would start late or never. Half a sampling period absorbs the jitter,
// for the gap between sightings and likewise for the dwell, which is only known to a sampling
// period: a stay of 997 ms seen a second apart must not wait a whole second more.
constexpr std::int64_t kStayGapToleranceMs = 500;

bool finite_numbers(const TrackObservation& o) {
  return std::isfinite(o.score) && std::isfinite(o.box.x) && std::isfinite(o.box.y) && std::isfinite(o.box.w) &&
         std::isfinite(o.box.h);
}

}  // namespace

IntrusionRule::IntrusionRule(ZoneRule rule) : rule_(std::move(rule)) {
  if (rule_.type != RuleType::intrusion || rule_.min_hits <= 0 || rule_.min_duration_ms < 0 || rule_.cooldown_ms < 0 ||
      rule_.lost_timeout_ms <= 0 || rule_.zones.empty()) {
    throw std::invalid_argument("invalid intrusion rule configuration");
  }
}

bool IntrusionRule::inside_any_zone(const Rect& box) const {
  const Point anchor = bottom_center(box);
  for (const Polygon& zone : rule_.zones) {
    if (point_in_polygon(anchor, zone)) return true;
  }
  return false;
}

const char* event_state_text(EventState state) { return state == EventState::started ? "started" : "ended"; }

RuleEvent IntrusionRule::ended_event(const std::vector<Ending>& ending, std::int64_t ended_at) {
  RuleEvent event;
  event.event_state = EventState::ended;
  event.ended_at = ended_at;
  const Ending* best = nullptr;
  for (const Ending& e : ending) {
    if (e.started_at != 0 && (event.started_at == 0 || e.started_at < event.started_at)) {
      event.started_at = e.started_at;
    }
    if (best == nullptr || e.score > best->score) best = &e;
    event.boxes.push_back(PersonBox{{"person", e.score, e.box}, e.track_id});
  }
  if (best != nullptr) {
    event.track_id = best->track_id;
    event.score = best->score;
  }
  return event;
}

std::vector<RuleEvent> IntrusionRule::update(const std::vector<TrackObservation>& observations, Instant instant) {
  const std::int64_t now = instant.steady_ms;
  struct NewlyStarted {
    std::string track_id;
    double score;
    Rect box;
  };
  std::vector<NewlyStarted> started;
  std::unordered_set<std::string> seen;
  const std::int64_t stay_gap_ms = std::max<std::int64_t>(rule_.min_duration_ms, 1000) + kStayGapToleranceMs;

  for (const TrackObservation& o : observations) {
    if (!o.confirmed || o.label != "person" || !finite_numbers(o) || !inside_any_zone(o.box)) continue;
    seen.insert(o.track_id);
    auto [it, entered] = persons_.try_emplace(o.track_id);
    PersonState& p = it->second;
    std::int64_t dwell_allowance_ms = 0;
    const std::int64_t gap_ms = saturating_sub_ms(now, p.last_inside_ms);
    if (entered || gap_ms > stay_gap_ms) {
      p.first_inside_ms = now;
      p.inside_hits = 1;
    } else {
      if (p.inside_hits < std::numeric_limits<std::int32_t>::max()) ++p.inside_hits;
      dwell_allowance_ms = std::min(gap_ms / 2, kStayGapToleranceMs);
    }
    p.last_inside_ms = now;
    p.score = o.score;
    p.box = o.box;
    const std::int64_t dwell_ms = saturating_add_ms(saturating_sub_ms(now, p.first_inside_ms), dwell_allowance_ms);
    if (!p.active && p.inside_hits >= rule_.min_hits && dwell_ms >= rule_.min_duration_ms &&
        now >= p.cooldown_until_ms) {
      p.started_at = instant.wall_ms;
      p.active = true;
      started.push_back({o.track_id, p.score, p.box});
    }
  }

  std::vector<RuleEvent> events;
  if (!started.empty()) {
    std::sort(started.begin(), started.end(),
              [](const NewlyStarted& a, const NewlyStarted& b) { return a.score > b.score; });
    RuleEvent event;
    event.event_state = EventState::started;
    event.score = started.front().score;
    event.track_id = started.front().track_id;
    event.started_at = instant.wall_ms;
    event.ended_at = 0;
    for (const NewlyStarted& s : started) event.boxes.push_back(PersonBox{{"person", s.score, s.box}, s.track_id});
    events.push_back(std::move(event));
  }

  std::vector<Ending> ending;
  const std::int64_t forget_after_ms = std::max<std::int64_t>(rule_.cooldown_ms, rule_.lost_timeout_ms);
  for (auto it = persons_.begin(); it != persons_.end();) {
    PersonState& p = it->second;
    const std::int64_t unseen_ms = saturating_sub_ms(now, p.last_inside_ms);
    if (p.active && seen.count(it->first) == 0 && unseen_ms >= rule_.lost_timeout_ms) {
      ending.push_back({it->first, p.score, p.box, p.started_at});
      p.active = false;
      p.inside_hits = 0;
      p.first_inside_ms = now;
      p.cooldown_until_ms = saturating_add_ms(now, rule_.cooldown_ms);
    }
    // A person in its cooldown is kept however long unseen: forgetting it would lift the cooldown.
    if (!p.active && unseen_ms > forget_after_ms && now >= p.cooldown_until_ms) {
      it = persons_.erase(it);
    } else {
      ++it;
    }
  }
  if (!ending.empty()) events.push_back(ended_event(ending, instant.wall_ms));
  return events;
}

std::vector<RuleEvent> IntrusionRule::flush(Instant now) {
  std::vector<Ending> ending;
  for (auto& entry : persons_) {
    PersonState& p = entry.second;
    if (!p.active) continue;
    ending.push_back({entry.first, p.score, p.box, p.started_at});
    p.active = false;
  }
  if (ending.empty()) return {};
  return {ended_event(ending, now.wall_ms)};
}

void IntrusionRule::reset() { persons_.clear(); }

}  // namespace velmo::ai
