#include "hid/DeviceFamily.h"

namespace korbex {

bool IsSupportedDevice(std::uint16_t vendor, std::uint16_t product) {
  return vendor == kVendorId && (product == kProductTwoStage || product == kProductFlashLoader);
}

FamilyOutcome DecideFamily(std::uint16_t vendor, std::uint16_t product, std::uint32_t twoStageState,
                           bool updateRunning) {
  if (!IsSupportedDevice(vendor, product)) return {FamilyFlag::None, twoStageState, false};
  struct Identity {
    std::uint16_t product;
    FamilyFlag flag;
    std::uint32_t seenState;   // state of a first sighting under this id
    std::uint32_t otherState;  // state of a first sighting under the other id
  };
  static constexpr Identity kIdentities[] = {
      {kProductTwoStage, FamilyFlag::TwoStage, kStateTwoStageSeen, kStateFlashLoaderSeen},
      {kProductFlashLoader, FamilyFlag::FlashLoader, kStateFlashLoaderSeen, kStateTwoStageSeen},
  };
  const Identity& id = product == kProductTwoStage ? kIdentities[0] : kIdentities[1];
  if (twoStageState == id.otherState) {
    // The device has come back under its other id: the next sighting is a first one again.
    return {id.flag, kStateNoSighting, true};
  }
  if (twoStageState == id.seenState && updateRunning) {
    // The device being updated, seen again under its first id: not a new device.
    return {FamilyFlag::None, twoStageState, false};
  }
  if (twoStageState == kStateNoSighting || twoStageState == id.seenState) return {id.flag, id.seenState, true};
  return {id.flag, twoStageState, true};  // a state the table never produces: keep it
}

bool ApplyFamilyMatch(DeviceFamily& family, std::uint16_t vendor, std::uint16_t product, bool updateRunning) {
  if (!IsSupportedDevice(vendor, product)) return false;
  family.FlashLoader = 0;
  const FamilyOutcome outcome = DecideFamily(vendor, product, family.twoStageState, updateRunning);
  family.twoStageState = outcome.twoStageState;
  if (outcome.flag == FamilyFlag::FlashLoader) family.FlashLoader = 1;
  if (outcome.flag == FamilyFlag::TwoStage) family.TwoStage = 1;
  return outcome.found;
}

const char* FamilyName(std::uint16_t vendor, std::uint16_t product) {
  switch (DecideFamily(vendor, product, kStateNoSighting, false).flag) {
    case FamilyFlag::TwoStage:
      return "TwoStage";
    case FamilyFlag::FlashLoader:
      return "FlashLoader";
    case FamilyFlag::None:
      break;
  }
  return "unsupported";
}

}  // namespace korbex
