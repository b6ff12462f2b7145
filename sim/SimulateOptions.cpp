#include "sim/SimulateOptions.h"

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <system_error>

#include "hid/DeviceFamily.h"

namespace korbex::sim {

bool ParseNumber(std::string_view text, std::uint64_t limit, std::uint64_t& out, bool hexAllowed) {
  int base = 10;
  if (hexAllowed && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc() || end != text.data() + text.size() || value > limit) return false;
  out = value;
  return true;
}

namespace {


template <typename T>
bool ParseInto(std::string_view text, std::uint64_t limit, T& out) {
  std::uint64_t v = 0;
  if (!ParseNumber(text, limit, v)) return false;
  out = static_cast<T>(v);
  return true;
}

std::string KeyError(std::string_view key, std::string_view what) {
  return "--simulate key '" + std::string(key) + "': " + std::string(what);
}

// "'VALUE' " + why: the value as given, then what is wrong with it.
std::string ValueIsNot(std::string_view value, std::string_view why) {
  std::string text = "'";
  text += value;
  text += "' ";
  text += why;
  return text;
}

namespace fs = std::filesystem;

std::string Quoted(const fs::path& path) {
  const auto text = path.u8string();
  return "'" + std::string(text.begin(), text.end()) + "'";
}

const char* KindName(fs::file_type type) {
  switch (type) {
    case fs::file_type::directory:
      return "a directory";
    case fs::file_type::block:
    case fs::file_type::character:
      return "a device";
    case fs::file_type::fifo:
      return "a FIFO";
    case fs::file_type::socket:
      return "a socket";
    default:
      return "not a regular file";
  }
}

// The file a path names once its symlinks (the last component's, in a chain) are
// followed; the path itself when it is no symlink. A link that points nowhere gives
// the path it points to, where the file will be made.
bool FollowLinks(fs::path path, fs::path& out, std::string& why) {
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(path, ec);
    if (ec || !fs::is_symlink(st)) {
      out = path;
      return true;
    }
    const fs::path target = fs::read_symlink(path, ec);
    if (ec) {
      why = Quoted(path) + ": " + ec.message();
      return false;
    }
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  why = Quoted(path) + ": too many levels of symbolic links";
  return false;
}

// Where flash-out really writes: a regular file, or a new file in an existing
// directory. Anything else is refused with why.
bool FlashOutTarget(const fs::path& path, fs::path& target, std::string& why) {
  if (!FollowLinks(path, target, why)) return false;
  std::error_code ec;
  const fs::file_status st = fs::status(target, ec);
  if (fs::exists(st)) {
    if (!fs::is_regular_file(st)) {
      why = Quoted(path) + " is " + KindName(st.type()) + "; flash-out writes a regular file";
      return false;
    }
    return true;
  }
  const fs::path dir = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  if (!fs::is_directory(dir, ec)) {
    why = Quoted(path) + ": no such directory " + Quoted(dir);
    return false;
  }
  return true;
}

// A name for the temporary file no other run picks: this process's own random bits
// and a counter.
fs::path TemporaryName(const fs::path& target) {
  static std::atomic<unsigned> counter{0};
  static const std::uint64_t processBits = [] {
    std::random_device rd;
    return (std::uint64_t{rd()} << 32) ^ rd() ^
           static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }();
  char tail[64];
  std::snprintf(tail, sizeof tail, ".%016llx-%u.part", static_cast<unsigned long long>(processBits),
                counter.fetch_add(1));
  fs::path name = target;
  name += tail;
  return name;
}

}  // namespace

bool ParseSimulateOptions(std::string_view text, SimulateOptions& out, std::string& error) {
  SimulateOptions opts;
  std::filesystem::path flashIn;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    if (item.empty()) continue;
    const std::size_t eq = item.find('=');
    const std::string_view key = item.substr(0, eq);
    if (eq == std::string_view::npos) {
      error = KeyError(key, "needs a value (KEY=VALUE)");
      return false;
    }
    const std::string_view value = item.substr(eq + 1);
    const std::string numberHint = ValueIsNot(value, "is not a number in range (decimal or 0x hex)");

    if (key == "product" || key == "product-after-finish") {
      std::uint16_t pid = 0;
      if (!ParseInto(value, 0xFFFF, pid) || !IsSupportedDevice(kVendorId, pid)) {
        error = KeyError(key, ValueIsNot(value, "is not 0x6E41 or 0x2D93"));
        return false;
      }
      (key == "product" ? opts.adapter.productId : opts.adapter.productAfterFinish) = pid;
    } else if (key == "version") {
      const std::size_t dot = value.find('.');
      if (dot == std::string_view::npos) {
        if (!ParseInto(value, 0xFF, opts.adapter.versionNumber)) {
          error = KeyError(key, ValueIsNot(value, "is not MAJ.MIN or N (each 0..255)"));
          return false;
        }
        opts.adapter.singleNumberVersion = true;
      } else {
        if (!ParseInto(value.substr(0, dot), 0xFF, opts.adapter.versionMajor) ||
            !ParseInto(value.substr(dot + 1), 0xFF, opts.adapter.versionMinor)) {
          error = KeyError(key, ValueIsNot(value, "is not MAJ.MIN or N (each 0..255)"));
          return false;
        }
        opts.adapter.singleNumberVersion = false;
      }
    } else if (key == "beta") {
      if (!ParseInto(value, 0x0F, opts.adapter.beta) || (opts.adapter.beta != 0 && (opts.adapter.beta & 1) == 0)) {
        error = KeyError(key, ValueIsNot(value, "is not 0 or an odd number up to 15"));
        return false;
      }
    } else if (key == "loader-size") {
      if (!ParseInto(value, 0xFFFFFFFF, opts.adapter.loaderSize)) {
        error = KeyError(key, numberHint);
        return false;
      }
    } else if (key == "erase-unit") {
      if (!ParseInto(value, 0xFFFFFFFF, opts.adapter.eraseUnitSize)) {
        error = KeyError(key, numberHint);
        return false;
      }
    } else if (key == "flash-size") {
      // The simulator keeps the whole flash in memory; 256 MiB is far beyond any adapter.
      if (!ParseInto(value, 256u << 20, opts.adapter.flashSize) || opts.adapter.flashSize == 0) {
        error = KeyError(key, numberHint + ", 1 .. 256 MiB");
        return false;
      }
    } else if (key == "flash-in") {
      if (value.empty()) {
        error = KeyError(key, "needs a file name");
        return false;
      }
      flashIn = std::filesystem::path(std::u8string(value.begin(), value.end()));
      opts.flashIn = flashIn;
    } else if (key == "flash-out") {
      if (value.empty()) {
        error = KeyError(key, "needs a file name");
        return false;
      }
      opts.flashOut = std::filesystem::path(std::u8string(value.begin(), value.end()));
      // Refused now, before the first report, rather than after "Updated successful!".
      fs::path target;
      std::string why;
      if (!FlashOutTarget(opts.flashOut, target, why)) {
        error = KeyError(key, why);
        return false;
      }
    } else if (key == "head") {
      if (value == "staged") {
        opts.adapter.stagedHead = true;
      } else if (value == "direct") {
        opts.adapter.stagedHead = false;
      } else {
        error = KeyError(key, ValueIsNot(value, "is not staged or direct"));
        return false;
      }
    } else if (key == "head-address") {
      std::uint32_t address = 0;
      if (!ParseInto(value, 0xFFFFFFFF, address)) {
        error = KeyError(key, numberHint);
        return false;
      }
      opts.headAddress = opts.adapter.headAddress = address;
    } else if (key == "latency-ms") {
      if (!ParseInto(value, 60000, opts.link.latencyMs)) {
        error = KeyError(key, numberHint + ", at most 60000");
        return false;
      }
    } else if (key == "lock-path") {
      if (value.empty()) {
        error = KeyError(key, "needs a file name");
        return false;
      }
      opts.lockPath = std::filesystem::path(std::u8string(value.begin(), value.end()));
    } else if (key == "fault") {
      std::vector<FaultSpec> faults;
      std::string why;
      if (!ParseFaults(value, faults, why)) {
        error = KeyError(key, why);
        return false;
      }
      opts.adapter.faults.insert(opts.adapter.faults.end(), faults.begin(), faults.end());
    } else {
      error = KeyError(
          key,
          "unknown key (product, product-after-finish, version, beta, loader-size, erase-unit, flash-size, flash-in, "
          "flash-out, head, head-address, latency-ms, fault, lock-path)");
      return false;
    }
  }

  if (!flashIn.empty()) {
    // Only a regular file: a directory, /dev/zero or a FIFO would throw, grow without
    // bound or block for ever.
    std::error_code ec;
    const fs::file_status st = fs::status(flashIn, ec);
    if (!fs::exists(st)) {
      error = KeyError("flash-in",
                       "cannot read " + Quoted(flashIn) + ": " + (ec ? ec.message() : std::string("no such file")));
      return false;
    }
    if (!fs::is_regular_file(st)) {
      error = KeyError("flash-in", Quoted(flashIn) + " is " + KindName(st.type()) + ", not a regular file");
      return false;
    }
    std::ifstream in(flashIn, std::ios::binary);
    if (!in) {
      error = KeyError("flash-in", "cannot read " + Quoted(flashIn));
      return false;
    }
    // At most one byte more than fits, to tell a file that is too long.
    auto& bytes = opts.adapter.initialFlash;
    const std::uintmax_t size = fs::file_size(flashIn, ec);
    bytes.resize(static_cast<std::size_t>(ec || size > opts.adapter.flashSize ? opts.adapter.flashSize : size) + 1);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (in.bad()) {
      error = KeyError("flash-in", "cannot read " + Quoted(flashIn));
      return false;
    }
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    if (bytes.size() > opts.adapter.flashSize) {
      error = KeyError("flash-in",
                       "the file holds more than flash-size " + std::to_string(opts.adapter.flashSize) + " bytes");
      return false;
    }
  }
  const std::string problem = AdapterModel::CheckConfig(opts.adapter);
  if (!problem.empty()) {
    error = "--simulate: " + problem;
    return false;
  }
  out = std::move(opts);
  return true;
}

bool WriteFlashOut(const AdapterModel& model, const std::filesystem::path& path, std::string* why) {
  if (path.empty()) return true;
  std::string reason;
  const auto fail = [&](std::string text) {
    if (why) *why = std::move(text);
    return false;
  };
  // Checked again here: the file may have changed since the options were read, and the
  // gadget writes it at every restart.
  fs::path target;
  if (!FlashOutTarget(path, target, reason)) return fail(reason);
  const auto bytes = model.ReadFlash(0, model.Config().flashSize);
  const fs::path temporary = TemporaryName(target);
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) return fail("cannot create " + Quoted(temporary));
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::error_code ignored;
      fs::remove(temporary, ignored);
      return fail("cannot write " + Quoted(temporary));
    }
  }
  std::error_code ec;
  fs::rename(temporary, target, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    return fail(Quoted(target) + ": " + ec.message());
  }
  return true;
}

}  // namespace korbex::sim
