#include "sim/gadget/ConfigfsGadget.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace korbex::gadget {

const std::vector<std::uint8_t> kReportDescriptor = {
    0x06, 0x00, 0xFF,  // Usage Page (Vendor Defined 0xFF00)
    0x09, 0x01,        // Usage (0x01)
    0xA1, 0x01,        // Collection (Application)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x40,        //   Report Count (64)
    0x09, 0x01,        //   Usage (0x01)
    0x81, 0x02,        //   Input (Data, Variable, Absolute)
    0x95, 0x40,        //   Report Count (64)
    0x09, 0x01,        //   Usage (0x01)
    0x91, 0x02,        //   Output (Data, Variable, Absolute)
    0xC0,              // End Collection
};

namespace {

constexpr const char* kGadgetRoot = "/sys/kernel/config/usb_gadget";
constexpr const char* kFunction = "functions/hid.usb0";
constexpr const char* kConfig = "configs/c.1";
// How long the device node may take to appear after binding (devtmpfs or udev).
constexpr int kNodeWaitMs = 3000;

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

bool WriteFile(const std::string& path, const void* data, std::size_t size, std::string& error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    error = Errno(path);
    return false;
  }
  const ssize_t n = ::write(fd, data, size);
  const int writeErrno = errno;
  ::close(fd);
  if (n != static_cast<ssize_t>(size)) {
    errno = n < 0 ? writeErrno : EIO;
    error = Errno(path);
    return false;
  }
  return true;
}

bool WriteText(const std::string& path, const std::string& text, std::string& error) {
  return WriteFile(path, text.data(), text.size(), error);
}

std::string ReadText(const std::string& path) {
  std::string out;
  if (FILE* f = std::fopen(path.c_str(), "re")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, f)) out += buffer;
    std::fclose(f);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool MakeDir(const std::string& path, std::string& error) {
  if (::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
  error = Errno(path);
  return false;
}

std::string Hex4(std::uint16_t v) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", v);
  return text;
}

// The /dev entry of a character device, if something (devtmpfs, udev) made one.
std::string FindCharDevice(dev_t rdev) {
  std::string found;
  if (DIR* d = ::opendir("/dev")) {
    while (const dirent* e = ::readdir(d)) {
      if (std::strncmp(e->d_name, "hidg", 4) != 0) continue;
      const std::string path = std::string("/dev/") + e->d_name;
      struct stat st;
      if (::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev) found = path;
    }
    ::closedir(d);
  }
  return found;
}

}  // namespace

std::vector<std::string> ConfigfsGadget::Controllers() {
  std::vector<std::string> out;
  if (DIR* d = ::opendir("/sys/class/udc")) {
    while (const dirent* e = ::readdir(d)) {
      if (e->d_name[0] != '.') out.emplace_back(e->d_name);
    }
    ::closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string ConfigfsGadget::BoundGadget(const std::string& udc) {
  std::string found;
  if (DIR* d = ::opendir(kGadgetRoot)) {
    while (const dirent* e = ::readdir(d)) {
      if (e->d_name[0] == '.') continue;
      if (ReadText(std::string(kGadgetRoot) + "/" + e->d_name + "/UDC") == udc) found = e->d_name;
    }
    ::closedir(d);
  }
  return found;
}

bool UdcClaim::Take(const std::string& udc, std::string& error) {
  Release();
  // /run is root's and survives no reboot, as a claim should not; /tmp where it is not
  // writable.
  const std::string dir = ::access("/run", W_OK) == 0 ? "/run" : "/tmp";
  const std::string path = dir + "/korbex-adapter-gadget." + udc + ".lock";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = Errno(path);
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) error = Errno("flock " + path);
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void UdcClaim::Release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool ConfigfsGadget::Create(const std::string& name, const GadgetIdentity& identity, std::string& error) {
  Teardown();
  if (!Exists(kGadgetRoot)) {
    error = std::string(kGadgetRoot) +
            " does not exist: mount configfs on /sys/kernel/config and load libcomposite and usb_f_hid "
            "(modprobe libcomposite usb_f_hid)";
    return false;
  }
  root_ = std::string(kGadgetRoot) + "/" + name;
  if (Exists(root_)) Teardown();  // left by a run that was killed
  root_ = std::string(kGadgetRoot) + "/" + name;

  const std::string function = root_ + "/" + kFunction;
  const std::string config = root_ + "/" + kConfig;
  const bool ok = MakeDir(root_, error) && WriteText(root_ + "/idVendor", Hex4(identity.vendorId), error) &&
                  WriteText(root_ + "/idProduct", Hex4(identity.productId), error) &&
                  WriteText(root_ + "/bcdDevice", "0x0100", error) && WriteText(root_ + "/bcdUSB", "0x0200", error) &&
                  MakeDir(root_ + "/strings/0x409", error) &&
                  WriteText(root_ + "/strings/0x409/manufacturer", identity.manufacturer, error) &&
                  WriteText(root_ + "/strings/0x409/product", identity.product, error) &&
                  WriteText(root_ + "/strings/0x409/serialnumber", identity.serial, error) && MakeDir(config, error) &&
                  MakeDir(config + "/strings/0x409", error) &&
                  WriteText(config + "/strings/0x409/configuration", "adapter", error) &&
                  WriteText(config + "/MaxPower", "100", error);
  if (!ok) {
    Teardown();
    return false;
  }
  if (::mkdir(function.c_str(), 0755) != 0) {
    error = Errno(function) + " (is usb_f_hid available? modprobe usb_f_hid)";
    Teardown();
    return false;
  }
  const bool functionOk =
      WriteText(function + "/protocol", "0", error) && WriteText(function + "/subclass", "0", error) &&
      WriteText(function + "/report_length", "64", error) &&
      WriteFile(function + "/report_desc", kReportDescriptor.data(), kReportDescriptor.size(), error);
  if (!functionOk || ::symlink(function.c_str(), (config + "/hid.usb0").c_str()) != 0) {
    if (functionOk) error = Errno(config + "/hid.usb0");
    Teardown();
    return false;
  }
  return true;
}

bool ConfigfsGadget::SetProductId(std::uint16_t productId, std::string& error) {
  return WriteText(root_ + "/idProduct", Hex4(productId), error);
}

bool ConfigfsGadget::Bind(const std::string& udc, std::string& node, std::string& error) {
  if (!WriteText(root_ + "/UDC", udc, error)) {
    error += " (is the controller free? another gadget may hold it)";
    return false;
  }
  bound_ = true;
  // The function's device number; its node appears once the function is bound.
  const std::string dev = ReadText(root_ + "/" + kFunction + "/dev");
  unsigned major = 0, minor = 0;
  if (std::sscanf(dev.c_str(), "%u:%u", &major, &minor) != 2) {
    error = "cannot read the HID function's device number from " + root_ + "/" + kFunction + "/dev";
    return false;
  }
  const dev_t rdev = makedev(major, minor);
  for (int waited = 0; waited < kNodeWaitMs; waited += 10) {
    node = FindCharDevice(rdev);
    if (!node.empty()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // No devtmpfs and no udev: make the node ourselves.
  if (madeNode_.empty()) {
    char dir[] = "/tmp/korbex-gadget-XXXXXX";
    if (!::mkdtemp(dir)) {
      error = Errno("mkdtemp");
      return false;
    }
    madeNode_ = std::string(dir) + "/hidg";
  }
  ::unlink(madeNode_.c_str());
  if (::mknod(madeNode_.c_str(), S_IFCHR | 0600, rdev) != 0) {
    error = Errno("mknod " + madeNode_);
    return false;
  }
  node = madeNode_;
  return true;
}

void ConfigfsGadget::Unbind() {
  if (root_.empty() || !bound_) return;
  std::string ignored;
  WriteText(root_ + "/UDC", "\n", ignored);
  bound_ = false;
}

void ConfigfsGadget::Teardown() {
  if (!madeNode_.empty()) {
    ::unlink(madeNode_.c_str());
    ::rmdir(madeNode_.substr(0, madeNode_.rfind('/')).c_str());
    madeNode_.clear();
  }
  if (root_.empty()) return;
  if (Exists(root_ + "/UDC")) {
    bound_ = true;  // whatever this object thinks: a stale gadget may still be bound
    Unbind();
  }
  // configfs wants the reverse order of creation: links, then leaf directories.
  ::unlink((root_ + "/" + kConfig + "/hid.usb0").c_str());
  for (const char* dir : {"configs/c.1/strings/0x409", "configs/c.1", "functions/hid.usb0", "strings/0x409", ""}) {
    ::rmdir((root_ + (*dir ? "/" : "") + dir).c_str());
  }
  root_.clear();
}

}  // namespace korbex::gadget
