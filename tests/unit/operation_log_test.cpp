#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "text/OperationLog.h"
#include "text/Texts.h"

namespace korbex {
namespace {

class MemoryFile final : public OutputFile {
 public:
  explicit MemoryFile(std::vector<std::uint8_t>& sink, std::size_t capacity = SIZE_MAX)
      : sink_(sink), capacity_(capacity) {}
  bool Write(const void* data, std::size_t size) override {
    if (sink_.size() + size > capacity_) return false;  // a full disk
    auto p = static_cast<const std::uint8_t*>(data);
    sink_.insert(sink_.end(), p, p + size);
    return true;
  }

 private:
  std::vector<std::uint8_t>& sink_;
  std::size_t capacity_;
};

TEST(OperationLog, ExactBytesOfARefusedShortFile) {
  std::vector<std::uint8_t> bytes;
  OperationLog log;
  log.Create(std::make_unique<MemoryFile>(bytes));
  log.AppendLog(kLogOpenFile);
  log.AppendLog(kLogOpenFileOk);
  log.AppendLog(kFileMismatch);
  const std::vector<std::uint8_t> expected = {
      0xFF, 0xFE,                                                   // byte-order mark
      0x53, 0x62, 0x00, 0x5F, 0x87, 0x65, 0xF6, 0x4E, 0x0D, 0x00, 0x0A, 0x00,  // 打开文件\r\n
      0x53, 0x62, 0x00, 0x5F, 0x87, 0x65, 0xF6, 0x4E, 0x10, 0x62, 0x9F, 0x52, 0x0D, 0x00, 0x0A, 0x00,
      0x87, 0x65, 0xF6, 0x4E, 0x0D, 0x4E, 0x39, 0x53, 0x4D, 0x91,   // 文件不匹配, no line end
  };
  EXPECT_EQ(bytes, expected);
}

TEST(OperationLog, NothingWrittenWhenNotOpen) {
  OperationLog log;
  log.AppendLog(u"x");  // must not crash
  log.Create(nullptr);  // creation failed
  EXPECT_FALSE(log.IsOpen());
  log.AppendLog(u"y");
  EXPECT_EQ(log.FailedWrites(), 0u);
}

TEST(OperationLog, CreateClosesTheEarlierLog) {
  std::vector<std::uint8_t> first, second;
  OperationLog log;
  log.Create(std::make_unique<MemoryFile>(first));
  log.AppendLog(u"a");
  log.Create(std::make_unique<MemoryFile>(second));
  log.AppendLog(u"b");
  EXPECT_EQ(first, (std::vector<std::uint8_t>{0xFF, 0xFE, 'a', 0}));
  EXPECT_EQ(second, (std::vector<std::uint8_t>{0xFF, 0xFE, 'b', 0}));
  log.Close();
  log.AppendLog(u"c");
  EXPECT_EQ(second.size(), 4u);
}

TEST(OperationLog, FullDiskIsCountedNotFatal) {
  std::vector<std::uint8_t> bytes;
  OperationLog log;
  log.Create(std::make_unique<MemoryFile>(bytes, 6));
  log.AppendLog(u"ab");
  log.AppendLog(u"cd");
  EXPECT_TRUE(log.IsOpen());
  EXPECT_EQ(log.FailedWrites(), 1u);
  EXPECT_EQ(bytes.size(), 6u);
}

TEST(OperationLog, RealFileIsReplacedNotExtended) {
  auto path = std::filesystem::temp_directory_path() / "korbex-log-test-1.txt";
  {
    std::ofstream old(path, std::ios::binary);
    old << "old contents that are longer than the new log";
  }
  OperationLog log;
  log.Create(CreateOutputFile(path));
  ASSERT_TRUE(log.IsOpen());
  log.AppendLog(kLogOpenFile);
  log.Close();
  std::vector<std::uint8_t> got;
  {
    std::ifstream in(path, std::ios::binary);
    got.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  EXPECT_EQ(got.size(), 2u + 2u * kLogOpenFile.size());
  EXPECT_EQ(got[0], 0xFF);
  EXPECT_EQ(got[1], 0xFE);
  std::filesystem::remove(path);
  EXPECT_EQ(CreateOutputFile(std::filesystem::path("/nonexistent-dir-korbex/1.txt")), nullptr);
}

}  // namespace
}  // namespace korbex
