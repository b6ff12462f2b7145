// The resources of KorbexUpdate.exe as Windows loads them from the executable: every
// string in both languages against the text table, dialog template 102 byte by byte,
// the icon, the manifest and the version.
//   win_resources_test <path of KorbexUpdate.exe>
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "KorbexVersion.h"
#include "app/win/LocalizedText.h"
#include "resources/resource.h"
#include "tests/win/support/PipeAdapter.h"
#include "text/Texts.h"

namespace {

std::wstring executablePath;

class Executable {
 public:
  Executable() { module_ = LoadLibraryExW(executablePath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE); }
  ~Executable() {
    if (module_) FreeLibrary(module_);
  }
  HMODULE get() const { return module_; }
  std::vector<std::uint8_t> Resource(LPCWSTR name, LPCWSTR type) const {
    HRSRC info = FindResourceW(module_, name, type);
    if (!info) return {};
    HGLOBAL loaded = LoadResource(module_, info);
    const auto* bytes = static_cast<const std::uint8_t*>(LockResource(loaded));
    return std::vector<std::uint8_t>(bytes, bytes + SizeofResource(module_, info));
  }

 private:
  HMODULE module_;
};

TEST(Resources, EveryStringInBothLanguagesIsTheTextTable) {
  Executable exe;
  ASSERT_NE(exe.get(), nullptr) << "cannot load " << std::string(executablePath.begin(), executablePath.end());
  const auto& table = korbex::TextTable();
  for (int i = 0; i < korbex::kTextCount; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(LoadStringResource(exe.get(), LocalizedStringId(i, 2052)), Wide(table[i].chinese));
    const UINT english = LocalizedStringId(i, 1033);
    if (table[i].hasEnglish) {
      EXPECT_EQ(LoadStringResource(exe.get(), english), Wide(table[i].english));
    } else {
      // No such resource at all: LoadStringW finds nothing and the text is empty.
      const wchar_t* text = nullptr;
      EXPECT_EQ(LoadStringW(exe.get(), english, reinterpret_cast<LPWSTR>(&text), 0), 0) << english;
    }
  }
  // Nothing beyond the two halves of the table.
  EXPECT_TRUE(LoadStringResource(exe.get(), 128).empty());
  EXPECT_TRUE(LoadStringResource(exe.get(), 146).empty());
  EXPECT_TRUE(LoadStringResource(exe.get(), 237).empty());
  EXPECT_TRUE(LoadStringResource(exe.get(), 255).empty());
}

TEST(Resources, LanguageRuleOfTheStringIds) {
  const struct {
    LANGID language;
    UINT fileTypeId;
  } cases[] = {{2052, 132}, {1033, 241}, {1028, 241}, {1031, 241}, {0, 241}};
  for (const auto& c : cases) EXPECT_EQ(LocalizedStringId(korbex::kTextFileType, c.language), c.fileTypeId);
}

// Reads a DLGTEMPLATEEX.
class TemplateReader {
 public:
  explicit TemplateReader(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
  std::uint16_t Word() {
    std::uint16_t v = 0;
    if (at_ + 2 <= bytes_.size()) std::memcpy(&v, bytes_.data() + at_, 2);
    at_ += 2;
    return v;
  }
  std::uint32_t Dword() {
    std::uint32_t v = 0;
    if (at_ + 4 <= bytes_.size()) std::memcpy(&v, bytes_.data() + at_, 4);
    at_ += 4;
    return v;
  }
  std::uint8_t Byte() { return at_ < bytes_.size() ? bytes_[at_++] : 0; }
  std::wstring String() {
    std::wstring s;
    for (std::uint16_t c = Word(); c && at_ <= bytes_.size(); c = Word()) s += static_cast<wchar_t>(c);
    return s;
  }
  // A name or an ordinal (0xFFFF n), as "#n" for an ordinal.
  std::wstring NameOrOrdinal() {
    const std::uint16_t first = Word();
    if (first == 0) return {};
    if (first == 0xFFFF) return L"#" + std::to_wstring(Word());
    at_ -= 2;
    return String();
  }
  void AlignDword() { at_ = (at_ + 3) & ~std::size_t{3}; }

 private:
  const std::vector<std::uint8_t>& bytes_;
  std::size_t at_ = 0;
};

TEST(Resources, DialogTemplate102) {
  Executable exe;
  ASSERT_NE(exe.get(), nullptr);
  const std::vector<std::uint8_t> bytes = exe.Resource(MAKEINTRESOURCEW(IDD_KORBEXUPDATE_DIALOG), RT_DIALOG);
  ASSERT_FALSE(bytes.empty());
  TemplateReader r(bytes);
  ASSERT_EQ(r.Word(), 1);       // dlgVer
  ASSERT_EQ(r.Word(), 0xFFFF);  // DIALOGEX
  r.Dword();                    // help id
  const std::uint32_t exStyle = r.Dword();
  const std::uint32_t style = r.Dword();
  const std::uint16_t count = r.Word();
  const std::int16_t x = static_cast<std::int16_t>(r.Word()), y = static_cast<std::int16_t>(r.Word());
  const std::int16_t cx = static_cast<std::int16_t>(r.Word()), cy = static_cast<std::int16_t>(r.Word());
  EXPECT_EQ(r.NameOrOrdinal(), L"");  // no menu
  EXPECT_EQ(r.NameOrOrdinal(), L"");  // the dialog class
  r.String();                         // caption: replaced at start-up
  EXPECT_TRUE(style & WS_POPUP);
  EXPECT_TRUE(style & WS_CAPTION);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_TRUE(style & DS_MODALFRAME);
  EXPECT_FALSE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_TRUE(exStyle & WS_EX_APPWINDOW);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 0);
  EXPECT_EQ(cx, 273);
  EXPECT_EQ(cy, 159);
  ASSERT_TRUE(style & DS_SETFONT);
  EXPECT_EQ(r.Word(), 9);  // points
  r.Word();                // weight
  r.Byte();                // italic
  r.Byte();                // character set
  EXPECT_EQ(r.String(), L"宋体");
  ASSERT_EQ(count, 4);

  const struct Control {
    const wchar_t* windowClass;
    int id;
    short x, y, cx, cy;
    std::uint32_t kindMask, kind;  // style bits that tell the kind of control
    bool visible;
    std::wstring text;
  } expected[4] = {
      {L"msctls_progress32", 1003, 7, 7, 259, 14, WS_BORDER, WS_BORDER, true, L""},
      {L"#130", 1016, 7, 23, 259, 82, SS_TYPEMASK, SS_LEFT, true,
       Wide(korbex::TextTable()[korbex::kTextInstructions].chinese)},
      {L"#130", -1, 99, 113, 85, 12, SS_TYPEMASK, SS_CENTER, false, Wide(korbex::kUpdatedSuccessful)},
      {L"#128", 1009, 7, 128, 259, 23, BS_TYPEMASK | WS_TABSTOP, BS_PUSHBUTTON | WS_TABSTOP, true,
       Wide(korbex::kUpdateButtonText)},
  };
  for (const Control& e : expected) {
    SCOPED_TRACE(e.id);
    r.AlignDword();
    r.Dword();  // help id
    r.Dword();  // extended style
    const std::uint32_t controlStyle = r.Dword();
    const short rect[4] = {static_cast<short>(r.Word()), static_cast<short>(r.Word()), static_cast<short>(r.Word()),
                           static_cast<short>(r.Word())};
    const int id = static_cast<int>(r.Dword());
    const std::wstring windowClass = r.NameOrOrdinal();
    const std::wstring text = r.NameOrOrdinal();
    const std::uint16_t extra = r.Word();
    for (std::uint16_t i = 0; i < extra; ++i) r.Byte();
    EXPECT_EQ(_wcsicmp(windowClass.c_str(), e.windowClass), 0) << std::string(windowClass.begin(), windowClass.end());
    EXPECT_EQ(id, e.id);
    EXPECT_EQ(rect[0], e.x);
    EXPECT_EQ(rect[1], e.y);
    EXPECT_EQ(rect[2], e.cx);
    EXPECT_EQ(rect[3], e.cy);
    EXPECT_EQ(controlStyle & e.kindMask, e.kind);
    EXPECT_EQ((controlStyle & WS_VISIBLE) != 0, e.visible);
    EXPECT_FALSE(controlStyle & WS_DISABLED);
    EXPECT_EQ(text, e.text);
  }
}

TEST(Resources, IconManifestAndVersion) {
  Executable exe;
  ASSERT_NE(exe.get(), nullptr);
  // Group icon 128: a directory of several sizes, 16 and 32 among them.
  const std::vector<std::uint8_t> group = exe.Resource(MAKEINTRESOURCEW(IDR_MAINFRAME), RT_GROUP_ICON);
  ASSERT_GE(group.size(), 6u);
  const unsigned images = group[4] | group[5] << 8;
  EXPECT_GE(images, 4u);
  bool has16 = false, has32 = false;
  for (unsigned i = 0; i < images && 6 + 14 * (i + 1) <= group.size(); ++i) {
    const unsigned width = group[6 + 14 * i];
    has16 |= width == 16;
    has32 |= width == 32;
  }
  EXPECT_TRUE(has16);
  EXPECT_TRUE(has32);

  const std::vector<std::uint8_t> manifest = exe.Resource(MAKEINTRESOURCEW(1), RT_MANIFEST);
  const std::string text(manifest.begin(), manifest.end());
  EXPECT_NE(text.find("Microsoft.Windows.Common-Controls"), std::string::npos);
  EXPECT_NE(text.find("version=\"6.0.0.0\""), std::string::npos);
  EXPECT_NE(text.find("<dpiAware"), std::string::npos);

  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(executablePath.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<std::uint8_t> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(executablePath.c_str(), 0, size, info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedSize = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize));
  EXPECT_EQ(fixed->dwFileVersionMS, (unsigned{KORBEX_VERSION_MAJOR} << 16) | KORBEX_VERSION_MINOR);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <KorbexUpdate.exe>\n", argv[0]);
    return 2;
  }
  executablePath = korbex::wintest::WindowsPath(argv[1]);
  return RUN_ALL_TESTS();
}
