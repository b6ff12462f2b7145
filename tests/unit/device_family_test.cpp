#include <gtest/gtest.h>

#include "hid/DeviceFamily.h"

namespace korbex {
namespace {

TEST(DeviceFamily, DecisionTable) {
  struct Row {
    std::uint16_t product;
    std::uint32_t before;
    bool running;
    FamilyFlag flag;
    std::uint32_t after;
    bool found;
  } const rows[] = {
      {0x6E41, 0, false, FamilyFlag::TwoStage, 0x6E27, true},
      {0x6E41, 0x6E27, false, FamilyFlag::TwoStage, 0x6E27, true},
      {0x6E41, 0x6E27, true, FamilyFlag::None, 0x6E27, false},
      {0x6E41, 0x2D93, false, FamilyFlag::TwoStage, 0, true},
      {0x2D93, 0, false, FamilyFlag::FlashLoader, 0x2D93, true},
      {0x2D93, 0x2D93, false, FamilyFlag::FlashLoader, 0x2D93, true},
      {0x2D93, 0x2D93, true, FamilyFlag::None, 0x2D93, false},
      {0x2D93, 0x6E27, false, FamilyFlag::FlashLoader, 0, true},
      // A first sighting or a return under the other id does not depend on running.
      {0x6E41, 0, true, FamilyFlag::TwoStage, 0x6E27, true},
      {0x2D93, 0x6E27, true, FamilyFlag::FlashLoader, 0, true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << std::hex << r.product << " " << r.before << " " << r.running);
    auto o = DecideFamily(0x35B2, r.product, r.before, r.running);
    EXPECT_EQ(o.flag, r.flag);
    EXPECT_EQ(o.twoStageState, r.after);
    EXPECT_EQ(o.found, r.found);
  }
}

TEST(DeviceFamily, OtherDevicesAreNotSupported) {
  const std::pair<std::uint16_t, std::uint16_t> others[] = {
      {0x845E, 0x6E41}, {0x35B2, 0x6E42}, {0x35B2, 0x0001}, {0x0000, 0x2D93}};
  for (auto [v, p] : others) {
    EXPECT_FALSE(IsSupportedDevice(v, p));
    EXPECT_FALSE(DecideFamily(v, p, 0x6E27, false).found);
    EXPECT_EQ(DecideFamily(v, p, 0x6E27, false).twoStageState, 0x6E27u);
    DeviceFamily family;
    family.FlashLoader = 1;
    EXPECT_FALSE(ApplyFamilyMatch(family, v, p, false));
    EXPECT_EQ(family.FlashLoader, 1);  // an unmatched device changes nothing
  }
}

TEST(DeviceFamily, ReEnumerationAfterRestart) {
  DeviceFamily family;
  EXPECT_TRUE(ApplyFamilyMatch(family, 0x35B2, 0x6E41, false));
  EXPECT_EQ(family.twoStageState, 0x6E27u);
  EXPECT_EQ(family.TwoStage, 1);
  EXPECT_EQ(family.FlashLoader, 0);
  // During the update the same identity is no new device.
  EXPECT_FALSE(ApplyFamilyMatch(family, 0x35B2, 0x6E41, true));
  // The device restarts as its loader.
  EXPECT_TRUE(ApplyFamilyMatch(family, 0x35B2, 0x2D93, true));
  EXPECT_EQ(family.twoStageState, 0u);
  EXPECT_EQ(family.TwoStage, 1);  // stays set
  EXPECT_EQ(family.FlashLoader, 1);
  // A running update that sees its first-seen loader id again leaves FlashLoader cleared.
  DeviceFamily loader;
  ASSERT_TRUE(ApplyFamilyMatch(loader, 0x35B2, 0x2D93, false));
  EXPECT_FALSE(ApplyFamilyMatch(loader, 0x35B2, 0x2D93, true));
  EXPECT_EQ(loader.FlashLoader, 0);
}

}  // namespace
}  // namespace korbex
