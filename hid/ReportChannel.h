#pragma once
// The one way to talk to an adapter: whole 65-byte HID reports (report id + 64 data
// bytes) with a per-read time-out. Backends (Win32 CHid, hidapi, the simulated
// adapter) implement two primitives; the report semantics live here once.
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace korbex {

inline constexpr std::size_t kReportSize = 65;      // report id + 64 data bytes
inline constexpr std::size_t kReportDataSize = 64;

// Wait statuses of ReadReport (the values of the Windows wait functions).
inline constexpr std::uint32_t kReadOk = 0;
inline constexpr std::uint32_t kReadTimeout = 258;   // WAIT_TIMEOUT
inline constexpr std::uint32_t kReadNotOpen = 128;   // WAIT_ABANDONED; also "channel not open"

class ReportChannel {
 public:
  virtual ~ReportChannel() = default;

  // Reads one input report and copies its first n data bytes (after the report id)
  // to dst. Returns kReadOk when a report arrived; kReadTimeout when none came within
  // the channel's read time-out; kReadNotOpen when the channel is not open (no I/O is
  // done); any other non-zero status of the backend on error or disconnect. On any
  // non-zero result dst is left untouched.
  std::uint32_t ReadReport(std::uint8_t* dst, std::uint8_t n);

  // Sends 65 bytes through the persistent sharedOutputReport: report id 0, the n
  // caller bytes, then whatever earlier writes left in bytes n+1..64 (zero at first).
  // The stale tail really goes on the wire; the adapter has always received it.
  // Returns non-zero when the report was written, 0 on failure or when not open.
  int WriteReport(const std::uint8_t* data, std::uint8_t n);

  // Sends n + 1 bytes from a private buffer: id, then the n caller bytes. Nothing of
  // sharedOutputReport is used or changed. Result as WriteReport.
  int WriteReportWithId(const std::uint8_t* data, std::uint8_t id, std::uint8_t n);

  // One exchange (a write and the reads that answer it) holds this lock, so two
  // threads never interleave on the adapter or on a reply buffer.
  std::mutex& ExchangeMutex() { return exchange_; }

  // The 65 bytes behind short writes, as they stand now (tests, traces).
  const std::uint8_t* SharedOutputReport() const { return sharedOutputReport_; }

 protected:
  // Writes count raw bytes (report id first) as one output report. Non-zero on success.
  virtual int WriteRaw(const std::uint8_t* bytes, std::size_t count) = 0;
  // Reads one whole input report (report id first) into report. Returns a wait status
  // as ReadReport; must leave report untouched unless it returns kReadOk.
  virtual std::uint32_t ReadRaw(std::uint8_t (&report)[kReportSize]) = 0;
  // False until the backend is open; ReadReport answers kReadNotOpen and the writes 0.
  virtual bool IsReadOpen() const = 0;
  virtual bool IsWriteOpen() const = 0;

 private:
  friend class WrappingChannel;
  std::mutex exchange_;
  std::uint8_t sharedOutputReport_[kReportSize] = {};
};

// A channel that watches another (a trace, error counts): its primitives pass through
// to the wrapped backend's, report ids included, which stay hidden from everyone else.
// The report semantics (shared output report, exchange lock) are the wrapper's own.
class WrappingChannel : public ReportChannel {
 protected:
  explicit WrappingChannel(ReportChannel& inner) : inner_(inner) {}
  int InnerWriteRaw(const std::uint8_t* bytes, std::size_t count) { return inner_.WriteRaw(bytes, count); }
  std::uint32_t InnerReadRaw(std::uint8_t (&report)[kReportSize]) { return inner_.ReadRaw(report); }
  bool IsReadOpen() const override { return inner_.IsReadOpen(); }
  bool IsWriteOpen() const override { return inner_.IsWriteOpen(); }

 private:
  ReportChannel& inner_;
};

// Time as the protocol sees it. Tests use a virtual clock so that the protocol's
// waits (2000 ms before Finish, 200 ms read time-outs) cost nothing.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual void SleepMs(std::uint32_t ms) = 0;
  virtual std::uint64_t NowMs() = 0;
};

// The real clock (std::chrono steady clock, std::this_thread::sleep_for).
Clock& SystemClock();

// A clock that only moves when slept on. Thread-safe.
class VirtualClock final : public Clock {
 public:
  void SleepMs(std::uint32_t ms) override;
  std::uint64_t NowMs() override;
  void Advance(std::uint64_t ms) { SleepMs(static_cast<std::uint32_t>(ms)); }

 private:
  std::mutex mutex_;
  std::uint64_t now_ = 0;
};

}  // namespace korbex
