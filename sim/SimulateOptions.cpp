#include "sim/SimulateOptions.h"

#include <charconv>
#include <fstream>
#include <iterator>

#include "hid/DeviceFamily.h"

namespace korbex::sim {
namespace {

bool ParseNumber(std::string_view text, std::uint64_t limit, std::uint64_t& out) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
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
    } else if (key == "flash-out") {
      if (value.empty()) {
        error = KeyError(key, "needs a file name");
        return false;
      }
      opts.flashOut = std::filesystem::path(std::u8string(value.begin(), value.end()));
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
          "flash-out, head, head-address, latency-ms, fault)");
      return false;
    }
  }

  if (!flashIn.empty()) {
    std::ifstream in(flashIn, std::ios::binary);
    if (!in) {
      error = KeyError("flash-in", "cannot read '" + flashIn.string() + "'");
      return false;
    }
    opts.adapter.initialFlash.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (opts.adapter.initialFlash.size() > opts.adapter.flashSize) {
      error = KeyError("flash-in", "the file holds " + std::to_string(opts.adapter.initialFlash.size()) +
                                       " bytes, more than flash-size " + std::to_string(opts.adapter.flashSize));
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

bool WriteFlashOut(const AdapterModel& model, const std::filesystem::path& path) {
  if (path.empty()) return true;
  const auto bytes = model.ReadFlash(0, model.Config().flashSize);
  std::filesystem::path temporary = path;
  temporary += ".part";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) return false;
  }
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  return !ec;
}

}  // namespace korbex::sim
