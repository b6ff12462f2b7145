#pragma once
// The simulated adapter served on a Windows named pipe, so that CHid talks to it
// with its real CreateFileW / WriteFile / overlapped ReadFile / CancelIo.
//
// Every client handle is one pipe connection (message mode: one message per
// report). Like the HID class driver, which gives every open handle its own copy
// of each input report, the server sends every reply to every connection; a
// connection that never reads (CHid's write handle) just keeps a bounded backlog.
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hid/ReportChannel.h"
#include "sim/SimulatedAdapter.h"

namespace korbex::wintest {

using Report = std::vector<std::uint8_t>;

class PipeAdapter {
 public:
  struct Options {
    // Pipe instances in all; 0 for no limit. With 1, the second CreateFileW of
    // CHid::Open fails (all instances busy).
    unsigned maxInstances = 0;
  };

  // model may be null: the server then records what it receives and answers
  // nothing unless told to (SendInputReport).
  explicit PipeAdapter(sim::AdapterModel* model);
  PipeAdapter(sim::AdapterModel* model, Options options);
  ~PipeAdapter();
  PipeAdapter(const PipeAdapter&) = delete;
  PipeAdapter& operator=(const PipeAdapter&) = delete;

  // The path to open (CHid::m_DevicePath).
  const std::wstring& Path() const { return path_; }

  // Every output report received so far, as the client wrote it (report id first).
  std::vector<Report> Received();
  std::size_t ReceivedCount();
  // Sends one input report (65 bytes, report id first) to every connection.
  void SendInputReport(const Report& report);
  // While held, the adapter's replies wait; releasing sends them on.
  void Hold(bool held);
  // Each reply leaves this long after its request (a slow adapter; below the host's
  // 200 ms read time-out it costs time, not retries).
  void SetReplyDelay(DWORD milliseconds) { replyDelayMs_ = milliseconds; }
  // Connections open now, and made since the start.
  int LiveConnections();
  int TotalConnections();
  // Runs f on the model with the server's lock held (the model is not thread-safe).
  void WithModel(const std::function<void(sim::AdapterModel&)>& f);

 private:
  struct Connection;
  void AcceptLoop();
  void CreateInstance();
  void ReadLoop(Connection& connection);
  void WriteLoop(Connection& connection);
  void OnOutputReport(const std::uint8_t* bytes, std::size_t count);
  void FlushReplies();                   // with mutex_ held
  void Broadcast(const Report& report);  // with mutex_ held

  sim::AdapterModel* model_;
  Options options_;
  std::wstring path_;
  HANDLE stopEvent_;
  std::mutex mutex_;
  std::vector<Report> received_;
  std::vector<std::unique_ptr<Connection>> connections_;  // every instance, listening or connected
  int instancesCreated_ = 0;
  bool held_ = false;
  std::atomic<DWORD> replyDelayMs_{0};
  bool stopping_ = false;
  std::thread acceptThread_;
};

// "Z:\path" for a Unix path (Wine maps the Unix root to drive Z:); other paths as
// they are.
std::wstring WindowsPath(const std::string& path);

}  // namespace korbex::wintest
