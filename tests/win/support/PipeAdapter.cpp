#include "tests/win/support/PipeAdapter.h"

namespace korbex::wintest {
namespace {

// Instances kept listening ahead of clients: CHid::Open opens two handles back to
// back, and a client finding no free instance fails at once (it does not wait).
constexpr int kListeningAhead = 4;
// Input reports kept for a connection that does not read (the HID driver's ring
// buffer drops the oldest too).
constexpr std::size_t kBacklog = 32;
constexpr DWORD kPipeBuffer = 64 * 1024;

std::atomic<unsigned> pipeCounter{0};

}  // namespace

struct PipeAdapter::Connection {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  // The pending ConnectNamedPipe (issued and, at the end, cancelled by the accept thread).
  HANDLE connectEvent = nullptr;
  OVERLAPPED connect{};
  bool listening = false;       // ConnectNamedPipe issued, threads not started
  bool connectedEarly = false;  // a client came before ConnectNamedPipe was called
  bool started = false;         // reader and writer running
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Report> queue;
  bool alive = true;
  bool stopping = false;
  std::thread reader;
  std::thread writer;

  // A client has opened this instance (its CreateFileW has returned).
  bool ClientConnected() const {
    return started || connectedEarly || (listening && WaitForSingleObject(connectEvent, 0) == WAIT_OBJECT_0);
  }
};

PipeAdapter::PipeAdapter(sim::AdapterModel* model) : PipeAdapter(model, Options{}) {}

PipeAdapter::PipeAdapter(sim::AdapterModel* model, Options options) : model_(model), options_(options) {
  path_ = L"\\\\.\\pipe\\korbex-adapter-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
          std::to_wstring(pipeCounter.fetch_add(1));
  stopEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  // The first instances exist before the constructor returns: Path() can be opened
  // at once (the accept thread starts listening on them).
  const int ahead = options_.maxInstances ? std::min<int>(kListeningAhead, options_.maxInstances) : kListeningAhead;
  for (int i = 0; i < ahead; ++i) CreateInstance();
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

PipeAdapter::~PipeAdapter() {
  SetEvent(stopEvent_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    for (auto& connection : connections_) {
      std::lock_guard<std::mutex> connectionLock(connection->mutex);
      connection->stopping = true;
      connection->wake.notify_all();
    }
  }
  acceptThread_.join();
  for (auto& connection : connections_) {
    if (connection->started) {
      connection->reader.join();
      connection->writer.join();
    }
    if (connection->connectEvent) CloseHandle(connection->connectEvent);
    CloseHandle(connection->pipe);
  }
  CloseHandle(stopEvent_);
}

void PipeAdapter::CreateInstance() {
  // Called with mutex_ held, or before the accept thread exists.
  if (options_.maxInstances && instancesCreated_ >= static_cast<int>(options_.maxInstances)) return;
  HANDLE pipe = CreateNamedPipeW(
      path_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
      options_.maxInstances ? options_.maxInstances : PIPE_UNLIMITED_INSTANCES, kPipeBuffer, kPipeBuffer, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) return;
  ++instancesCreated_;
  auto connection = std::make_unique<Connection>();
  connection->pipe = pipe;
  connection->connectEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  connections_.push_back(std::move(connection));
}

void PipeAdapter::AcceptLoop() {
  for (;;) {
    std::vector<HANDLE> waits{stopEvent_};
    std::vector<Connection*> listening;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto& connection : connections_) {
        Connection& c = *connection;
        if (c.started || !c.alive) continue;
        if (!c.listening) {
          c.connect = {};
          c.connect.hEvent = c.connectEvent;
          c.listening = true;
          if (!ConnectNamedPipe(c.pipe, &c.connect)) {
            const DWORD error = GetLastError();
            if (error == ERROR_PIPE_CONNECTED) c.connectedEarly = true;
            if (error != ERROR_IO_PENDING) SetEvent(c.connectEvent);
          }
        }
        waits.push_back(c.connectEvent);
        listening.push_back(&c);
      }
    }
    const DWORD result = WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE, INFINITE);
    if (result == WAIT_OBJECT_0 || result == WAIT_FAILED) break;
    const std::size_t index = result - WAIT_OBJECT_0 - 1;
    if (index >= listening.size()) break;
    Connection& c = *listening[index];
    DWORD ignored = 0;
    const bool connected = c.connectedEarly || GetOverlappedResult(c.pipe, &c.connect, &ignored, FALSE);
    std::lock_guard<std::mutex> lock(mutex_);
    // The replacement first, so that a client opening its second handle right after
    // the first finds a free instance.
    CreateInstance();
    c.listening = false;
    if (!connected) {
      std::lock_guard<std::mutex> connectionLock(c.mutex);
      c.alive = false;
      continue;
    }
    c.started = true;
    c.stopping = stopping_;
    c.reader = std::thread([this, &c] { ReadLoop(c); });
    c.writer = std::thread([this, &c] { WriteLoop(c); });
  }
  // Instances nobody connected to: end their pending ConnectNamedPipe (issued here).
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& connection : connections_) {
    if (connection->listening) {
      CancelIo(connection->pipe);
      DWORD ignored = 0;
      GetOverlappedResult(connection->pipe, &connection->connect, &ignored, TRUE);
      connection->listening = false;
    }
  }
}

void PipeAdapter::ReadLoop(Connection& c) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::uint8_t buffer[512];
  for (;;) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    ResetEvent(event);
    DWORD count = 0;
    if (!ReadFile(c.pipe, buffer, sizeof buffer, nullptr, &overlapped)) {
      const DWORD error = GetLastError();
      if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) break;
      if (error == ERROR_IO_PENDING) {
        HANDLE waits[2] = {event, stopEvent_};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
          CancelIo(c.pipe);
          GetOverlappedResult(c.pipe, &overlapped, &count, TRUE);
          break;
        }
      }
    }
    if (!GetOverlappedResult(c.pipe, &overlapped, &count, TRUE)) {
      if (GetLastError() == ERROR_MORE_DATA) continue;  // longer than any report: dropped
      break;                                            // the client closed its handle
    }
    OnOutputReport(buffer, count);
  }
  CloseHandle(event);
  std::lock_guard<std::mutex> lock(c.mutex);
  c.alive = false;
  c.wake.notify_all();
}

void PipeAdapter::WriteLoop(Connection& c) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  for (;;) {
    Report report;
    {
      std::unique_lock<std::mutex> lock(c.mutex);
      c.wake.wait(lock, [&] { return !c.queue.empty() || !c.alive || c.stopping; });
      if (!c.alive || c.stopping) break;
      report = std::move(c.queue.front());
      c.queue.pop_front();
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    ResetEvent(event);
    DWORD count = 0;
    if (!WriteFile(c.pipe, report.data(), static_cast<DWORD>(report.size()), nullptr, &overlapped)) {
      if (GetLastError() != ERROR_IO_PENDING) break;
      HANDLE waits[2] = {event, stopEvent_};
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
        CancelIo(c.pipe);
        GetOverlappedResult(c.pipe, &overlapped, &count, TRUE);
        break;
      }
    }
    if (!GetOverlappedResult(c.pipe, &overlapped, &count, TRUE)) break;
  }
  CloseHandle(event);
}

void PipeAdapter::OnOutputReport(const std::uint8_t* bytes, std::size_t count) {
  const DWORD delay = replyDelayMs_;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.emplace_back(bytes, bytes + count);
    if (!model_) return;
    model_->HandleOutputReport(bytes, count);
    if (delay == 0) {
      FlushReplies();
      return;
    }
  }
  Sleep(delay);
  std::lock_guard<std::mutex> lock(mutex_);
  FlushReplies();
}

void PipeAdapter::FlushReplies() {
  if (held_ || !model_) return;
  std::uint8_t report[kReportSize];
  while (model_->PopInputReport(report)) Broadcast(Report(report, report + kReportSize));
}

void PipeAdapter::Broadcast(const Report& report) {
  for (auto& connection : connections_) {
    // Also an instance whose client is connected but whose threads the accept thread
    // has not started yet: the client's handle is open, so the report is its.
    if (!connection->ClientConnected()) continue;
    std::lock_guard<std::mutex> lock(connection->mutex);
    if (!connection->alive) continue;
    if (connection->queue.size() >= kBacklog) connection->queue.pop_front();
    connection->queue.push_back(report);
    connection->wake.notify_all();
  }
}

std::vector<Report> PipeAdapter::Received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::size_t PipeAdapter::ReceivedCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_.size();
}

void PipeAdapter::SendInputReport(const Report& report) {
  std::lock_guard<std::mutex> lock(mutex_);
  Broadcast(report);
}

void PipeAdapter::Hold(bool held) {
  std::lock_guard<std::mutex> lock(mutex_);
  held_ = held;
  FlushReplies();
}

int PipeAdapter::LiveConnections() {
  std::lock_guard<std::mutex> lock(mutex_);
  int live = 0;
  for (auto& connection : connections_) {
    std::lock_guard<std::mutex> connectionLock(connection->mutex);
    // Counted from the client's open on, not from when its threads start: otherwise a
    // new pair not yet started and an old pair not yet seen closed add up to the same
    // figure as the settled state.
    if (connection->ClientConnected() && connection->alive) ++live;
  }
  return live;
}

int PipeAdapter::TotalConnections() {
  std::lock_guard<std::mutex> lock(mutex_);
  int total = 0;
  for (auto& connection : connections_) total += connection->ClientConnected() ? 1 : 0;
  return total;
}

void PipeAdapter::WithModel(const std::function<void(sim::AdapterModel&)>& f) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (model_) f(*model_);
}

std::wstring WindowsPath(const std::string& path) {
  std::wstring out;
  if (!path.empty() && path[0] == '/') out = L"Z:";
  for (char c : path) out += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
  return out;
}

}  // namespace korbex::wintest
