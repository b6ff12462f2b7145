// Discovery: the SetupAPI walk on Wine's own HID devices, the retry bound of the
// interface-detail query, and CHid::Detect's family decisions over a device list.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "hid/win/Hid.h"
#include "hid/win/InterfaceWalk.h"

namespace {

TEST(Discovery, WineDevicesAreListedButNoneIsSupported) {
  // Wine's virtual HID devices (if this prefix has any, e.g. vendor 0x845E) must be
  // walked over and skipped: none is the adapter.
  const std::vector<HidDeviceInfo> all = EnumerateAllHidDevices();
  for (const HidDeviceInfo& d : all) {
    std::printf("HID interface %04x:%04x %ls\n", d.vendorId, d.productId, d.path.c_str());
    EXPECT_FALSE(d.path.empty());
  }
  EXPECT_TRUE(EnumerateHidDevices().empty());

  korbex::DeviceFamily family;
  std::atomic<int> running{0};
  CHid hid(family, running);
  EXPECT_EQ(hid.Detect(), 0);
  EXPECT_EQ(hid.m_bNotifyRegistered, 1) << "the first call registers even without a device";
  EXPECT_TRUE(hid.m_DevicePath.empty());
  EXPECT_EQ(family.twoStageState, korbex::kStateNoSighting);
  EXPECT_EQ(family.TwoStage, 0);
  EXPECT_EQ(family.FlashLoader, 0);
}

// A fake interface set: paths by index; some detail queries fail.
struct FakeInterfaces {
  std::vector<std::wstring> paths;
  std::map<std::uint32_t, int> failuresLeft;  // index -> detail failures before success (-1: always)
  std::map<std::uint32_t, int> detailCalls;

  bool Enumerate(std::uint32_t index) { return index < paths.size(); }
  std::uint32_t RequiredSize(std::uint32_t index) {
    return static_cast<std::uint32_t>((paths[index].size() + 1) * sizeof(wchar_t));
  }
  bool Detail(std::uint32_t index, std::vector<std::uint8_t>& buffer) {
    ++detailCalls[index];
    auto it = failuresLeft.find(index);
    if (it != failuresLeft.end() && it->second != 0) {
      if (it->second > 0) --it->second;
      return false;
    }
    const std::size_t need = (paths[index].size() + 1) * sizeof(wchar_t);
    if (buffer.size() < need) return false;  // as SetupAPI: the buffer is too small
    std::memcpy(buffer.data(), paths[index].c_str(), need);
    return true;
  }
};

std::vector<std::wstring> Walk(FakeInterfaces& api) {
  std::vector<std::wstring> seen;
  korbex::win::WalkInterfaceDetails(api, [&](std::uint32_t, std::vector<std::uint8_t>& buffer) {
    seen.emplace_back(reinterpret_cast<const wchar_t*>(buffer.data()));
    return false;
  });
  return seen;
}

TEST(Discovery, DetailBufferGrowsForALongerPath) {
  FakeInterfaces api{{L"\\\\?\\hid#a", L"\\\\?\\hid#a-much-longer-path-than-the-first", L"\\\\?\\hid#b"}, {}, {}};
  EXPECT_EQ(Walk(api), api.paths);
  EXPECT_EQ(api.detailCalls[1], 2) << "one failure with the old buffer, then the size is asked again";
}

TEST(Discovery, DetailThatKeepsFailingIsSkippedAfterOneRetry) {
  FakeInterfaces api{{L"p0", L"p1", L"p2"}, {{1, -1}}, {}};
  EXPECT_EQ(Walk(api), (std::vector<std::wstring>{L"p0", L"p2"}));
  EXPECT_EQ(api.detailCalls[1], korbex::win::kDetailAttemptsPerInterface);

  FakeInterfaces once{{L"p0", L"p1"}, {{0, 1}}, {}};
  EXPECT_EQ(Walk(once), once.paths) << "a single failure is retried and succeeds";
}

struct Entry {
  std::uint16_t vendor;
  std::uint16_t product;
  const wchar_t* path;
};

std::vector<HidDeviceInfo> Devices(std::initializer_list<Entry> entries) {
  std::vector<HidDeviceInfo> out;
  for (const Entry& e : entries) out.push_back({e.path, e.vendor, e.product});
  return out;
}

TEST(Discovery, FirstSupportedDeviceWinsAndOthersAreSkipped) {
  korbex::DeviceFamily family;
  std::atomic<int> running{0};
  CHid hid(family, running);
  hid.SetDeviceSource([] {
    return Devices({{0x845E, 0x6E41, L"wine-gamepad"},
                    {0x35B2, 0x1234, L"other-product"},
                    {0x35B2, 0x6E41, L"two-stage"},
                    {0x35B2, 0x2D93, L"flash-loader"}});
  });
  EXPECT_EQ(hid.Detect(), 1);
  EXPECT_EQ(hid.m_DevicePath, L"two-stage");
  EXPECT_EQ(family.TwoStage, 1);
  EXPECT_EQ(family.FlashLoader, 0);
  EXPECT_EQ(family.twoStageState, korbex::kStateTwoStageSeen);
}

TEST(Discovery, DeviceSeenAgainDuringAnUpdateAndAfterItsRestart) {
  korbex::DeviceFamily family;
  std::atomic<int> running{0};
  CHid hid(family, running);
  std::vector<HidDeviceInfo> present = Devices({{0x35B2, 0x6E41, L"first"}});
  hid.SetDeviceSource([&] { return present; });

  ASSERT_EQ(hid.Detect(), 1);
  running = 1;
  // Seen again under its first id while the update runs: no new device, but the
  // path is still the one found.
  present = Devices({{0x35B2, 0x6E41, L"again"}});
  EXPECT_EQ(hid.Detect(), 0);
  EXPECT_EQ(hid.m_DevicePath, L"again");
  EXPECT_EQ(family.twoStageState, korbex::kStateTwoStageSeen);

  // Restarted as its loader: found, state back to "no sighting", both flags set.
  present = Devices({{0x35B2, 0x2D93, L"loader"}});
  EXPECT_EQ(hid.Detect(), 1);
  EXPECT_EQ(hid.m_DevicePath, L"loader");
  EXPECT_EQ(family.twoStageState, korbex::kStateNoSighting);
  EXPECT_EQ(family.TwoStage, 1);
  EXPECT_EQ(family.FlashLoader, 1);

  // Gone: nothing changes, not even the path.
  present.clear();
  EXPECT_EQ(hid.Detect(), 0);
  EXPECT_EQ(hid.m_DevicePath, L"loader");
  EXPECT_EQ(family.FlashLoader, 1);

  // A loader first seen as such, seen again while running: FlashLoader stays cleared.
  korbex::DeviceFamily loaderFamily;
  CHid loader(loaderFamily, running);
  loader.SetDeviceSource([] { return Devices({{0x35B2, 0x2D93, L"loader"}}); });
  running = 0;
  ASSERT_EQ(loader.Detect(), 1);
  running = 1;
  EXPECT_EQ(loader.Detect(), 0);
  EXPECT_EQ(loaderFamily.FlashLoader, 0);
}

}  // namespace
