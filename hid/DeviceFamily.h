#pragma once
// Which adapter is connected, and whether it has come back under its other product id.
// The decision is a pure function over one enumeration entry; the Windows discovery and
// the command-line enumeration both call it.
#include <atomic>
#include <cstdint>

namespace korbex {

inline constexpr std::uint16_t kVendorId = 0x35B2;
inline constexpr std::uint16_t kProductTwoStage = 0x6E41;
inline constexpr std::uint16_t kProductFlashLoader = 0x2D93;

// twoStageState values: which product id the device showed when first seen.
inline constexpr std::uint32_t kStateNoSighting = 0;
inline constexpr std::uint32_t kStateTwoStageSeen = 0x6E27;
inline constexpr std::uint32_t kStateFlashLoaderSeen = 0x2D93;

enum class FamilyFlag { None, FlashLoader, TwoStage };

// Process-wide family flags (read by the update worker, so atomic) and the state.
struct DeviceFamily {
  std::atomic<int> FlashLoader{0};
  std::atomic<int> TwoStage{0};                    // once set, stays set
  std::uint32_t twoStageState = kStateNoSighting;  // discovery's own (UI thread only)
};

// Vendor 0x35B2 with product 0x6E41 or 0x2D93.
bool IsSupportedDevice(std::uint16_t vendor, std::uint16_t product);

struct FamilyOutcome {
  FamilyFlag flag = FamilyFlag::None;  // flag to set (FlashLoader is cleared before)
  std::uint32_t twoStageState = kStateNoSighting;
  bool found = false;
};

// The decision table for one supported device. For an unsupported device: not
// found, state unchanged.
FamilyOutcome DecideFamily(std::uint16_t vendor, std::uint16_t product, std::uint32_t twoStageState,
                           bool updateRunning);

// Applies a match of a supported device to the flags: clears FlashLoader, then sets
// the flag and the state the table gives. Returns found. Call only for a supported
// device (a scan that matches nothing changes nothing).
bool ApplyFamilyMatch(DeviceFamily& family, std::uint16_t vendor, std::uint16_t product, bool updateRunning);

// "TwoStage", "FlashLoader" or "unsupported", as the family match decides for a first
// sighting of these ids: how the front ends name a device.
const char* FamilyName(std::uint16_t vendor, std::uint16_t product);

}  // namespace korbex
