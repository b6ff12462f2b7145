#include "hid/hidapi/HidapiChannel.h"

#include <hidapi/hidapi.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cwchar>

#include "hid/DeviceFamily.h"
#include "text/Texts.h"

namespace korbex {
namespace {

// hidapi's strings are wchar_t: UTF-32 here (Linux, macOS).
std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; text && *text; ++text) AppendUtf8(out, static_cast<char32_t>(*text));
  return out;
}

}  // namespace

std::vector<HidDeviceEntry> EnumerateHidapiDevices() {
  std::vector<HidDeviceEntry> out;
  if (hid_init() != 0) return out;
  hid_device_info* list = hid_enumerate(kVendorId, 0);
  for (const hid_device_info* d = list; d; d = d->next) {
    if (!IsSupportedDevice(d->vendor_id, d->product_id) || !d->path) continue;
    HidDeviceEntry e;
    e.path = d->path;
    e.vendorId = d->vendor_id;
    e.productId = d->product_id;
    e.interfaceNumber = d->interface_number;
    e.product = Narrow(d->product_string);
    e.serial = Narrow(d->serial_number);
    out.push_back(std::move(e));
  }
  hid_free_enumeration(list);
  return out;
}

HidapiChannel::HidapiChannel() = default;

HidapiChannel::~HidapiChannel() { Close(); }

HidOpenStatus HidapiChannel::Open(const std::string& path, std::string& message) {
  Close();
  if (hid_init() != 0) {
    message = "hidapi could not be initialised";
    return HidOpenStatus::Failed;
  }
  errno = 0;
  device_ = hid_open_path(path.c_str());
  const int openErrno = errno;
  if (device_) return HidOpenStatus::Ok;

  message = Narrow(hid_error(nullptr));
  // hidapi folds every failure into NULL; the node itself tells a permission problem
  // (no udev rule) from a device that has gone.
  const bool isNode = path.rfind("/dev/", 0) == 0;
  if (openErrno == EACCES || openErrno == EPERM ||
      (isNode && access(path.c_str(), F_OK) == 0 && access(path.c_str(), R_OK | W_OK) != 0)) {
    if (message.empty()) message = std::strerror(EACCES);
    return HidOpenStatus::PermissionDenied;
  }
  if (openErrno == ENOENT || openErrno == ENODEV || (isNode && access(path.c_str(), F_OK) != 0)) {
    if (message.empty()) message = std::strerror(ENOENT);
    return HidOpenStatus::NotFound;
  }
  if (message.empty()) message = openErrno ? std::strerror(openErrno) : "hid_open_path failed";
  return HidOpenStatus::Failed;
}

void HidapiChannel::Close() {
  if (device_) {
    hid_close(device_);
    device_ = nullptr;
  }
}

int HidapiChannel::WriteRaw(const std::uint8_t* bytes, std::size_t count) {
  if (!device_) return 0;
  const int written = hid_write(device_, bytes, count);
  return written >= 0 && static_cast<std::size_t>(written) == count ? 1 : 0;
}

std::uint32_t HidapiChannel::ReadRaw(std::uint8_t (&report)[kReportSize]) {
  if (!device_) return kReadNotOpen;
  std::uint8_t data[kReportDataSize] = {};
  const int got = hid_read_timeout(device_, data, sizeof data, kHidapiReadTimeoutMs);
  if (got < 0) return kReadHidapiError;
  if (got == 0) return kReadTimeout;
  // A short report keeps zeros in the bytes that did not come.
  report[0] = 0x00;
  std::memcpy(report + 1, data, kReportDataSize);
  return kReadOk;
}

}  // namespace korbex
