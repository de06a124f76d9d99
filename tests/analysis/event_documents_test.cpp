#include "analysis/event_documents.h"

#include <gtest/gtest.h>

namespace velmo::ai {
namespace {

// An intrusion event names the rule that raised it; a scene change belongs to no rule.
TEST(EventDocuments, AnIntrusionNamesItsRule) {
  const EventSource source{"cam", "s", "m", "1"};
  RuleEvent rule;
  rule.rule_index = 3;
  rule.boxes.push_back(PersonBox{{"person", 0.5, Rect{0.1, 0.2, 0.3, 0.4}}, "track-7"});
  const Json intrusion = event_document(source, rule, "id-1");
  EXPECT_EQ(intrusion.size(), 14u) << intrusion;
  EXPECT_EQ(intrusion["rule_index"], 3);
  EXPECT_EQ(intrusion["event_id"], "id-1");

  const Json scene = event_document(source, SceneEvent{}, "id-2");
  EXPECT_EQ(scene.size(), 13u) << scene;
  EXPECT_FALSE(scene.contains("rule_index"));
}

}  // namespace
}  // namespace velmo::ai
