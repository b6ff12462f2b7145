#include <gtest/gtest.h>

#include "KorbexVersion.h"
#include "text/Texts.h"

namespace korbex {
namespace {

TEST(Texts, LanguageChoice) {
  struct Case {
    std::uint16_t language;
    std::u16string_view fileType;
  } const cases[] = {
      {2052, u"文件类型中显示的内容"}, {1033, u"File type"}, {1031, u"File type"}, {1028, u"File type"}, {0, u"File type"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.language);
    EXPECT_EQ(LocalizedText(kTextFileType, c.language), c.fileType);
    EXPECT_EQ(LocalizedText(kTextTitle, c.language), u"Korbex Update v2.16");
  }
}

// The caption names the program's version: a new project version needs new caption
// texts in the table and the string table too.
TEST(Texts, TitleNamesTheProjectVersion) {
  const std::u16string_view title = LocalizedText(kTextTitle, 1033);
  std::u16string version;
  for (const char* c = KORBEX_VERSION_TEXT; *c; ++c) version += static_cast<char16_t>(*c);
  EXPECT_EQ(title.substr(title.rfind(u'v') + 1), version);
}

TEST(Texts, TableAsPrinted) {
  EXPECT_EQ(LocalizedText(2, 2052), u"正在更新固件,是否立即停止？");
  EXPECT_EQ(LocalizedText(2, 1033), u"The new firmware is updating,and it is turned off");
  EXPECT_EQ(LocalizedText(11, 1033), u"Firmware update failure, please handle work in BOOT mode");
  EXPECT_EQ(LocalizedText(11, 2052), u"固件更新失败,请将手柄工作在 BOOT 模式");
  EXPECT_EQ(LocalizedText(13, 2052), u"请升级到最新版本");
  EXPECT_EQ(LocalizedText(13, 1033), u"");
  EXPECT_FALSE(TextTable()[13].hasEnglish);
  EXPECT_EQ(LocalizedText(16, 2052), u"1.");
  EXPECT_EQ(LocalizedText(-1, 1033), u"");
  EXPECT_EQ(LocalizedText(17, 2052), u"");
  // Every other entry has text in both halves.
  for (int i = 0; i < kTextCount; ++i) {
    EXPECT_FALSE(TextTable()[i].chinese.empty()) << i;
    if (i != 13) {
      EXPECT_FALSE(TextTable()[i].english.empty()) << i;
    }
  }
}

TEST(Texts, InstructionsKeepTheirLayout) {
  EXPECT_EQ(LocalizedText(kTextInstructions, 1033),
            u"1. Connect the adapter to the PC.\r\n\r\n2. Turn the mode switch to 2.4G mode, then press the Home "
            u"button\r\n   to turn on the controller.\r\n\r\n3. Press and hold LB+RB+L3+R3+P1+P2 altogether for 5 "
            u"seconds for\r\n   the adapter to enter upgrade mode.\r\n\r\n4. Click Update, choose the firmware you "
            u"would like to\r\n   install, and begin the update process.");
  EXPECT_EQ(LocalizedText(kTextInstructions, 2052),
            u"1. 将接收器连接到 PC。\r\n\r\n2. 将手柄的模式开关移动到 2.4G 位置，按下 HOME 键开启手柄。\r\n\r\n3. "
            u"按住手柄的 LB+RB+L3+R3+P1+P2 键 5 秒使接收器进入升级模式。\r\n\r\n4. 点击 Update 按钮选择固件开始更新。");
}

TEST(Texts, Utf8RoundTrip) {
  const std::u16string_view samples[] = {u"", u"abc", u"文件不匹配", u"更新成功！", u"\U0001F600 x"};
  for (auto s : samples) EXPECT_EQ(FromUtf8(ToUtf8(s)), s);
  EXPECT_EQ(ToUtf8(u"文件"), "\xE6\x96\x87\xE4\xBB\xB6");
  EXPECT_EQ(FromUtf8("a\xFF" "b"), u"a\uFFFDb");
  EXPECT_EQ(FromUtf8("\xE6\x96"), u"\uFFFD\uFFFD");
}

}  // namespace
}  // namespace korbex
