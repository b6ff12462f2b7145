#pragma once
// Faults the simulated adapter can be told to inject, and their text form
// (`--simulate=fault=…`, sweep labels, traces): what a fault is, and how it is parsed
// and written back. The model that acts on them is AdapterModel.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korbex::sim {

enum class FaultKind {
  Drop,        // the command acts, its reply is lost
  Ignore,      // the report is lost: no action, no reply
  Nak,         // replies with status 1, no action
  Stale,       // a late copy of the previous reply comes first, then the real one
  WrongEcho,   // acts, but the reply echoes another command code (code ^ 0x8000)
  WrongCrc,    // CheckBlock answers a CRC that is off by one
  Corrupt,     // WriteData/WriteRecord store one byte wrong (the first) but acknowledge
  Disconnect,  // gone from this exchange on: every read and write fails
  Unplug,      // as Disconnect, but a transport that can leave the bus (the USB gadget)
               // plugs it back in later (Replug): flash kept, loader state lost
};

// KIND[:COMMAND][@N][xCOUNT]: the N-th exchange (1-based) of COMMAND (any command
// when absent), COUNT exchanges in a row (0 = for ever).
// Each report the adapter receives is one exchange. The short command 0x1D counts as
// a Version exchange. Several faults may hit one exchange; their effects combine.
struct FaultSpec {
  FaultKind kind = FaultKind::Drop;
  std::optional<std::uint16_t> command;
  std::uint32_t nth = 1;
  std::uint32_t count = 1;
};

// The code under which the version request (05 21 …) and the short command 0x1D are
// counted for faults and named "Version".
inline constexpr std::uint16_t kVersionCommand = 0x0021;

// Parses "FAULT[+FAULT…]". Kinds: drop ignore nak stale wrong-echo wrong-crc corrupt
// disconnect unplug. Command names are BootCommand names (WriteData Erase Finish WriteRecord
// QueryLoader SaveHead CheckBlock SetImageInfo) plus "Version". Names are matched
// without regard to case; N and COUNT are decimal or 0x hex, at least 1; "x*" means
// for ever. An empty text is no fault. On error returns false, leaves out unchanged,
// and sets error to a message that quotes the bad part.
bool ParseFaults(std::string_view text, std::vector<FaultSpec>& out, std::string& error);

// The text ParseFaults reads back into the same fault (for sweep labels and traces).
std::string FormatFault(const FaultSpec& fault);

}  // namespace korbex::sim
