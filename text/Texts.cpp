#include "text/Texts.h"

namespace korbex {
namespace {

constexpr TextEntry kTexts[kTextCount] = {
    {u"搜索", u"Search", true},
    {u"更新", u"Update", true},
    {u"正在更新固件,是否立即停止？", u"The new firmware is updating,and it is turned off", true},
    {u"文件类型中显示的内容", u"File type", true},
    {u"升级成功。", u"Updated successful!", true},
    {u"升级新固件", u"New firmware", true},
    {u"Korbex Update v2.16", u"Korbex Update v2.16", true},
    {u"固件更新失败", u"Firmware update failure", true},
    {u"正在搜索蓝牙设备", u"Searching for Bluetooth devices", true},
    {u"警告", u"warning", true},
    {u"打开蓝牙设备错误", u"Open bluetooth error", true},
    {u"固件更新失败,请将手柄工作在 BOOT 模式", u"Firmware update failure, please handle work in BOOT mode", true},
    {u"升级", u"Update", true},
    {u"请升级到最新版本", u"", false},
    {u"1. 将接收器连接到 PC。\r\n\r\n"
     u"2. 将手柄的模式开关移动到 2.4G 位置，按下 HOME 键开启手柄。\r\n\r\n"
     u"3. 按住手柄的 LB+RB+L3+R3+P1+P2 键 5 秒使接收器进入升级模式。\r\n\r\n"
     u"4. 点击 Update 按钮选择固件开始更新。",
     u"1. Connect the adapter to the PC.\r\n\r\n"
     u"2. Turn the mode switch to 2.4G mode, then press the Home button\r\n"
     u"   to turn on the controller.\r\n\r\n"
     u"3. Press and hold LB+RB+L3+R3+P1+P2 altogether for 5 seconds for\r\n"
     u"   the adapter to enter upgrade mode.\r\n\r\n"
     u"4. Click Update, choose the firmware you would like to\r\n"
     u"   install, and begin the update process.",
     true},
    {u"当前版本为:", u"current version is:", true},
    {u"1.", u"* If anything wrong. Hold START 8 seconds can reset controller. You can try to update firmware again", true},
};

}  // namespace

const TextEntry (&TextTable())[kTextCount] { return kTexts; }

std::u16string_view LocalizedText(TextId id, std::uint16_t languageId) {
  if (id < 0 || id >= kTextCount) return {};
  return languageId == kLanguageChineseSimplified ? kTexts[id].chinese : kTexts[id].english;
}

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() * 3);
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(out, c);
  }
  return out;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c >= 0x110000 || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::u16string FromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    auto b = static_cast<unsigned char>(text[i]);
    char32_t c = 0xFFFD;
    std::size_t len = 1;
    if (b < 0x80) {
      c = b;
    } else if ((b & 0xE0) == 0xC0) {
      len = 2;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4;
    }
    if (len > 1) {
      bool ok = i + len <= text.size();
      char32_t v = b & (0x7F >> len);
      for (std::size_t k = 1; ok && k < len; ++k) {
        auto cb = static_cast<unsigned char>(text[i + k]);
        ok = (cb & 0xC0) == 0x80;
        v = (v << 6) | (cb & 0x3F);
      }
      static constexpr char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
      if (ok && v >= kMin[len] && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF)) {
        c = v;
      } else {
        len = 1;
      }
    }
    i += len;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

}  // namespace korbex
