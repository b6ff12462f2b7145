#pragma once
// The simulated adapter's settings as KEY=VALUE,… text: korbex-update --simulate and
// korbex-adapter-gadget read the same keys. Every key is optional; a bad key or value
// is a usage error naming it.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "sim/SimulatedAdapter.h"

namespace korbex::sim {

struct SimulateOptions {
  AdapterConfig adapter;  // flash-in already loaded into initialFlash
  LinkConfig link;
  std::filesystem::path flashIn;   // as given; already read into adapter.initialFlash
  std::filesystem::path flashOut;  // empty: not written
  // head-address: where the loader keeps its head. Without it the tool places the head
  // where the file says (the section-3 load address for a single-number adapter).
  std::optional<std::uint32_t> headAddress;
  // lock-path: the file korbex-update locks as the simulated adapter's node, as it
  // locks a hidraw node, so two runs can contend for one simulated adapter. Empty: no
  // lock. The gadget refuses it (its adapter has a real node).
  std::filesystem::path lockPath;
};

// Keys: product=0x6E41|0x2D93, product-after-finish=0x6E41|0x2D93, version=MAJ.MIN | N,
// beta=N, loader-size=N, erase-unit=N, flash-size=N, flash-in=FILE, flash-out=FILE,
// head=staged|direct, head-address=N, latency-ms=N, fault=FAULT[+FAULT…], lock-path=FILE. Numbers
// decimal or 0x hex. On error returns false with error naming the key
// ("--simulate key 'beta': …").
// A whole text as a number up to limit: decimal, or 0x hex when hexAllowed.
bool ParseNumber(std::string_view text, std::uint64_t limit, std::uint64_t& out, bool hexAllowed = true);

bool ParseSimulateOptions(std::string_view text, SimulateOptions& out, std::string& error);

// flash-in is a regular file (through symlinks) of at most flash-size bytes; it is
// never read past flash-size + 1 bytes. flash-out names a regular file or a new one in
// an existing directory (through symlinks); a directory, a device node, a FIFO or a
// socket is refused here, before any report is exchanged.

// flash-out: writes the model's whole flash to path (nothing when path is empty)
// through a temporary file of its own (a unique name in the target's directory)
// renamed into place, so a reader never sees half a flash and two runs never share the
// temporary file. A symlink is written through: its target is replaced, the link
// stays. Anything but a regular file is refused, never replaced. False, with why when
// given, when it could not be written.
bool WriteFlashOut(const AdapterModel& model, const std::filesystem::path& path, std::string* why = nullptr);

}  // namespace korbex::sim
