#include "cli/CliTexts.h"

#include <cstdlib>

#include "cli/Terminal.h"
#include "text/Texts.h"

namespace korbex::cli {
namespace {

struct MsgEntry {
  Msg id;
  const char* english;
  const char* chinese;
};

// One row per message; the order follows Msg so a lookup is an index.
constexpr MsgEntry kMessages[] = {
    {Msg::UsingSimulator, "using the simulated adapter", "使用模拟接收器"},
    {Msg::NoAdapter, "no supported adapter found (USB vendor 35b2, product 6e41 or 2d93)",
     "未找到支持的接收器（USB 厂商 35b2，产品 6e41 或 2d93）"},
    {Msg::NoAdapterAt, "no supported adapter at {}", "{} 处没有支持的接收器"},
    {Msg::SeveralAdapters, "several adapters are present; choose one with --device PATH:",
     "连接了多个接收器，请用 --device PATH 选择其中一个："},
    {Msg::PermissionDenied,
     "cannot open {}: permission denied; install the udev rule 70-korbex-adapter.rules "
     "(packaging/linux, see docs/cli.md) and plug the adapter in again",
     "无法打开 {}：权限不足；请安装 udev 规则 70-korbex-adapter.rules（packaging/linux，见 "
     "docs/cli.md）后重新插入接收器"},
    {Msg::CannotOpenAdapter, "cannot open {}: {}", "无法打开 {}：{}"},
    {Msg::AdapterGone, "the adapter went away during the run", "运行中接收器已断开"},
    {Msg::CannotOpenFile, "cannot open {}: {}", "无法打开 {}：{}"},
    {Msg::FileRefused, "{}: {}", "{}：{}"},
    {Msg::FileAccepted, "accepted", "可以使用"},
    {Msg::VersionNoReply, "the adapter did not answer the version request", "接收器没有回应版本查询"},
    {Msg::VersionNotReported, "version not reported: {} adapters are not asked for it",
     "未报告版本：不查询 {} 接收器的版本"},
    {Msg::ConfirmPrompt, "Write this firmware? [y/N] ", "写入此固件？[y/N] "},
    {Msg::ConfirmNeedsYes, "not confirmed: there is no terminal to ask on; pass -y to confirm {}",
     "未确认：没有可询问的终端；请加 -y 确认 {}"},
    {Msg::Cancelled, "cancelled", "已取消"},
    {Msg::Stopped, "stopped on request; the adapter may hold a partly written image: run flash again",
     "已按要求停止；接收器中的固件可能不完整，请重新运行 flash"},
    {Msg::WaitingForRestart, "waiting for the adapter to restart…", "等待接收器重启…"},
    {Msg::AdapterBack, "adapter back: {}", "接收器已重启：{}"},
    {Msg::AdapterNotBack, "the adapter did not come back within the {} s waited (the update itself was verified)",
     "等待 {} 秒后接收器没有重新出现（固件本身已校验）"},
    {Msg::VerifyEqual, "flash matches the file ({} blocks checked)", "闪存与文件一致（已检查 {} 块）"},
    {Msg::VerifyDiffers, "flash differs from the file in {} of {} blocks:", "闪存与文件有 {} 块不同（共 {} 块）："},
    {Msg::BlockDiffersLine, "  section {} block {} at 0x{}", "  第 {} 段 第 {} 块 地址 0x{}"},
    {Msg::LoaderSilent, "the adapter's loader does not answer", "接收器的引导程序没有回应"},
    {Msg::EraseUnitUnsupported, "the loader reports an erase unit other than 4096 bytes; nothing was erased",
     "引导程序报告的擦除单位不是 4096 字节；未擦除任何内容"},
    {Msg::WrittenSummary, "{} blocks written, {} already equal, {} verified", "写入 {} 块，{} 块已相同，校验 {} 块"},
    {Msg::CannotWriteTrace, "cannot write the trace file {}: {}", "无法写入跟踪文件 {}：{}"},
    {Msg::SimFlashOutFailed, "cannot write the simulated flash to {}", "无法把模拟闪存写入 {}"},
    {Msg::VerifyStopped, "stopped on request; verify writes nothing, the adapter's flash is unchanged",
     "已按要求停止；verify 不写入任何内容，接收器的闪存未改变"},
    {Msg::NoHardwareSupport, "this build has no adapter support; use --simulate",
     "此版本不支持真实接收器；请使用 --simulate"},
    {Msg::BlockNotWritten, "section {} block {} at 0x{} not written: {}", "第 {} 段 第 {} 块（地址 0x{}）未写入：{}"},
    {Msg::CauseEraseFailed, "the erase was not acknowledged", "擦除未得到确认"},
    {Msg::CauseRecordFailed, "a record was refused {} times", "一条记录被拒绝 {} 次"},
    {Msg::CauseLeadingPieceFailed, "the leading piece was not acknowledged", "首段数据未得到确认"},
    {Msg::CauseTrailingPieceFailed, "the trailing piece was not acknowledged", "末段数据未得到确认"},
    {Msg::BlockDiffersAfterWrite, "section {} block {} at 0x{} differs from the file after writing",
     "第 {} 段 第 {} 块（地址 0x{}）写入后与文件不一致"},
    {Msg::HeadDiffersAfterWrite, "head block {} of section {} at 0x{} differs from the file after SaveHead",
     "头部块 {}（第 {} 段，地址 0x{}）保存后与文件不一致"},
    {Msg::ConfirmedByYes, "confirmed by -y", "已由 -y 确认"},
    {Msg::AndMore, "; {} more blocks not written", "；另有 {} 块未写入"},
    {Msg::WaitingForAdapter, "waiting up to {} s for an adapter: plug it in, or put it into upgrade mode…",
     "最多等待 {} 秒：请插入接收器，或使其进入升级模式…"},
    {Msg::NoAdapterInTime, "no supported adapter appeared within {} s", "{} 秒内没有出现支持的接收器"},
    {Msg::BlockUnansweredAfterWrite,
     "section {} block {} at 0x{}: the adapter did not answer its check, so it is not verified (a lost reply, "
     "not a known difference; verify compares it again)",
     "第 {} 段 第 {} 块（地址 0x{}）的校验没有得到接收器回应，未能确认（回复丢失，并非确知不一致；可用 verify "
     "重新比较）"},
    {Msg::HeadUnansweredAfterWrite,
     "head block {} of section {} at 0x{}: the adapter did not answer its check after SaveHead, so it is not "
     "verified (a lost reply, not a known difference; verify compares it again)",
     "头部块 {}（第 {} 段，地址 0x{}）保存后的校验没有得到接收器回应，未能确认（回复丢失，并非确知不一致；可用 "
     "verify 重新比较）"},
    {Msg::CausePassStopped, "the write pass stopped at block {} ({})", "写入在第 {} 块停止（{}）"},
    {Msg::VerifyUnanswered, "the adapter did not answer the check of {} of {} blocks (not known to differ):",
     "接收器没有回应 {} 块的校验（共 {} 块，并非确知不一致）："},
    {Msg::VerifyDiffersAndUnanswered,
     "flash differs from the file in {} of {} blocks, and {} more got no answer to their check:",
     "闪存与文件有 {} 块不同（共 {} 块），另有 {} 块的校验没有回应："},
    {Msg::VerifyAdapterGone,
     "the adapter went away during verify ({} blocks checked before); verify writes nothing, the flash is as it was",
     "校验过程中接收器已断开（此前已检查 {} 块）；verify 不写入任何内容，闪存保持原样"},
    {Msg::RestartWaitStopped, "stopped waiting for the adapter after {} s (the update itself was verified)",
     "等待 {} 秒后按要求停止等待接收器（固件本身已校验）"},
    {Msg::ConfirmAllAdapters, "update all {} adapters, each with the firmware shown:",
     "更新全部 {} 个接收器，各写入所示固件："},
    {Msg::AdapterBusy, "{}: another program is updating this adapter; nothing was sent, try again when it has finished",
     "{}：另一个程序正在升级此接收器；未发送任何内容，请在其完成后再试"},
    {Msg::AdapterBusyBy,
     "{}: another program ({}) is updating this adapter; nothing was sent, try again when it has finished",
     "{}：另一个程序（{}）正在升级此接收器；未发送任何内容，请在其完成后再试"},
};

// The table is indexed by Msg: every row must sit at its own id.
constexpr bool InOrder() {
  for (std::size_t i = 0; i < sizeof kMessages / sizeof kMessages[0]; ++i)
    if (static_cast<std::size_t>(kMessages[i].id) != i) return false;
  return true;
}
static_assert(InOrder(), "kMessages rows must follow the order of Msg");
static_assert(sizeof kMessages / sizeof kMessages[0] == static_cast<std::size_t>(Msg::Count));

bool IsSet(const char* v) { return v && *v; }

}  // namespace

std::uint16_t PickLanguage(const char* lcAll, const char* lcMessages, const char* lang, std::uint16_t systemLanguage) {
  const char* decisive = IsSet(lcAll) ? lcAll : IsSet(lcMessages) ? lcMessages : IsSet(lang) ? lang : nullptr;
  if (decisive) {
    const std::string_view v(decisive);
    return v.rfind("zh_CN", 0) == 0 ? kLanguageChineseSimplified : 1033;
  }
  return systemLanguage == kLanguageChineseSimplified ? kLanguageChineseSimplified : 1033;
}

std::uint16_t PickLanguage() {
  return PickLanguage(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"), SystemUiLanguage());
}

std::string Format(std::string_view pattern, std::initializer_list<std::string_view> args) {
  std::string out;
  auto arg = args.begin();
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '{' && i + 1 < pattern.size() && pattern[i + 1] == '}' && arg != args.end()) {
      out += *arg++;
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

std::string AdapterBusyText(std::uint16_t language, std::string_view path, std::string_view holder) {
  return holder.empty() ? Text(Msg::AdapterBusy, language, {path}) : Text(Msg::AdapterBusyBy, language, {path, holder});
}

std::string Text(Msg id, std::uint16_t language, std::initializer_list<std::string_view> args) {
  const MsgEntry& e = kMessages[static_cast<std::size_t>(id)];
  return Format(language == kLanguageChineseSimplified ? e.chinese : e.english, args);
}

std::string CauseText(FailureCause cause, std::uint16_t language) {
  switch (cause) {
    case FailureCause::EraseFailed:
      return Text(Msg::CauseEraseFailed, language);
    case FailureCause::RecordFailed:
      return Text(Msg::CauseRecordFailed, language, {std::to_string(kRecordSendAttempts)});
    case FailureCause::LeadingPieceFailed:
      return Text(Msg::CauseLeadingPieceFailed, language);
    case FailureCause::TrailingPieceFailed:
      return Text(Msg::CauseTrailingPieceFailed, language);
    default:
      return FailureCauseName(cause);
  }
}

std::string CheckFailedText(bool differs, bool head, std::uint16_t language, std::string_view section,
                            std::string_view index, std::string_view where) {
  // The head check names the block before the section; the passes the other way round.
  if (head)
    return Text(differs ? Msg::HeadDiffersAfterWrite : Msg::HeadUnansweredAfterWrite, language,
                {index, section, where});
  return Text(differs ? Msg::BlockDiffersAfterWrite : Msg::BlockUnansweredAfterWrite, language,
              {section, index, where});
}

}  // namespace korbex::cli
