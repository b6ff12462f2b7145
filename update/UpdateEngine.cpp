#include "update/UpdateEngine.h"

#include <cstdio>
#include <cstring>

#include "protocol/Checksums.h"
#include "text/Texts.h"

namespace korbex {
namespace {

constexpr std::uint8_t Code(BootCommand c) { return static_cast<std::uint8_t>(c); }

std::uint32_t Get32(const std::uint8_t* b) {
  return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
         static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

void Put32(std::uint8_t* b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The confirmation texts, by written set and whether the firmware is a beta.
struct ConfirmationFormat {
  bool singleNumber;
  bool beta;
  const char* format;
};
constexpr ConfirmationFormat kConfirmationFormats[] = {
    {false, false, "firmware V%d.%d"},
    {false, true, "firmware V%d.%d beta%x"},
    {true, false, "firmware V%d"},
    {true, true, "firmware V%d beta%x"},
};

// How a write pass over one section ended.
struct PassResult {
  bool complete = true;        // every block was handled (skipped, written, or a piece refused)
  bool stopRequested = false;  // the front end asked to stop
  std::uint32_t reached = 0;   // bytes of the section covered: all blocks, or up to the block that stopped it
};

// One run of the update: the fixed buffers every block goes through, and the steps.
class FlashRun {
 public:
  explicit FlashRun(UpdateContext& ctx) : ctx_(ctx), link_(ctx.link), ui_(ctx.listener), session_(ctx.session) {}
  UpdateEnding Execute();

 private:
  bool StopRequested() const { return ctx_.stopRequested != nullptr && ctx_.stopRequested->load(); }

  void Emit(UpdateEvent event) { ui_.OnUpdateEvent(event); }
  void Phase(UpdatePhase phase, int section = 0) {
    UpdateEvent e;
    e.kind = UpdateEvent::Kind::Phase;
    e.phase = phase;
    e.section = section;
    Emit(e);
  }
  void BlockEvent(UpdateEvent::Kind kind, UpdatePhase phase, const SectionPlan& p, std::uint32_t block,
                  std::uint32_t count, std::uint32_t address, FailureCause cause = FailureCause::None) {
    UpdateEvent e;
    e.kind = kind;
    e.phase = phase;
    e.section = p.section;
    e.block = block;
    e.blockCount = count;
    e.address = address;
    e.cause = cause;
    Emit(e);
  }

  // Image bytes at a 64-bit file offset; nothing the file has there reads as erased flash.
  void ReadBytes(std::uint64_t offset, std::uint8_t* dst, std::size_t count);

  PassResult WritePass(const SectionPlan& p, std::uint64_t progressBase, std::uint64_t progressTotal);
  // Verifies block b of the section; emits BlockVerified, BlockDiffers (with
  // differsCause) or BlockUnanswered. On failure sets the run's cause.
  bool CheckBlock(const SectionPlan& p, std::uint32_t b, std::uint32_t count, UpdatePhase phase,
                  FailureCause differsCause, FailureCause& cause);

  // Endings: each restores the button and clears updateRunning last.
  UpdateEnding End(UpdateEnding ending, FailureCause cause, const FileCheckResult& check = {});
  UpdateEnding Refuse(const FileCheckResult& check, bool closeFile);

  UpdateContext& ctx_;
  BootLink& link_;
  UpdateListener& ui_;
  UpdateSession& session_;
  WrittenSet set_ = WrittenSet::Sections1And2;
  bool buttonTaken_ = false;  // the run has disabled the update button
  WritePlan plan_;
  LoaderParameters loader_;
  std::uint8_t blockBuffer_[kBlockSize];
  std::uint8_t leading_[kLeadingPieceSize];
  std::uint8_t record_[kRecordSize];
  std::uint8_t trailing_[kTrailingPieceSize];
};

void FlashRun::ReadBytes(std::uint64_t offset, std::uint8_t* dst, std::size_t count) {
  constexpr std::uint64_t kOffsetLimit = 0x100000000ull;  // the file is read by 32-bit offsets
  std::size_t n = 0;
  if (offset < kOffsetLimit) {
    n = static_cast<std::size_t>(count < kOffsetLimit - offset ? count : kOffsetLimit - offset);
    ctx_.image.ReadPadded(static_cast<std::uint32_t>(offset), dst, n);
  }
  std::memset(dst + n, kErasedByte, count - n);
}

PassResult FlashRun::WritePass(const SectionPlan& p, std::uint64_t progressBase, std::uint64_t progressTotal) {
  PassResult result;
  const std::uint32_t unit = loader_.eraseUnitSize;
  const std::uint32_t count = BlockCount(p.writtenLength, unit);
  Phase(UpdatePhase::WritePass, p.section);
  auto stopPass = [&](std::uint32_t i, FailureCause cause, std::uint32_t address) {
    result.complete = false;
    result.reached = i * unit;
    // A wait cut short by a stop request is the stop, not a failed block.
    if (StopRequested()) {
      result.stopRequested = true;
      return result;
    }
    BlockEvent(UpdateEvent::Kind::BlockNotWritten, UpdatePhase::WritePass, p, i, count, address, cause);
    return result;
  };
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t a = p.firstAddress + i * unit;
    const std::uint64_t f = static_cast<std::uint64_t>(p.firstSentOffset) + static_cast<std::uint64_t>(i) * unit;
    auto stopped = [&] {
      if (!StopRequested()) return false;
      result.complete = false;
      result.stopRequested = true;
      result.reached = i * unit;
      return true;
    };
    if (stopped()) return result;
    ReadBytes(f, blockBuffer_, kBlockSize);
    const std::uint16_t crc = PayloadCrc16(blockBuffer_, kBlockSize);
    if (link_.VerifyBlock(Code(BootCommand::CheckBlock), p.checkValue, a, crc, 0)) {
      BlockEvent(UpdateEvent::Kind::BlockSkipped, UpdatePhase::WritePass, p, i, count, a);
    } else {
      if (stopped()) return result;
      if (!link_.EraseUntilAck(a, unit)) return stopPass(i, FailureCause::EraseFailed, a);
      if (stopped()) return result;
      ReadBytes(f, leading_, kLeadingPieceSize);
      if (!link_.SendDataPacket(leading_, a, kLeadingPieceSize, p.checkValue)) {
        if (stopped()) return result;
        // The rest of the block is not sent; the checks find it different later.
        BlockEvent(UpdateEvent::Kind::BlockNotWritten, UpdatePhase::WritePass, p, i, count, a,
                   FailureCause::LeadingPieceFailed);
      } else {
        for (std::uint32_t k = 0; k < kRecordCount; ++k) {
          ReadBytes(f + kLeadingPieceSize + kRecordSize * k, record_, kRecordSize);
          const std::uint8_t sum = ByteSum8(record_, kRecordSize);
          bool sent = false;
          for (int attempt = 0; attempt < kRecordSendAttempts && !sent; ++attempt) {
            if (stopped()) return result;
            sent = link_.SendRecord(record_, static_cast<std::uint8_t>(k), sum) != 0;
          }
          if (!sent) return stopPass(i, FailureCause::RecordFailed, a);
        }
        if (stopped()) return result;
        ReadBytes(f + kTrailingPieceOffset, trailing_, kTrailingPieceSize);
        if (!link_.SendDataPacket(trailing_, a + kTrailingPieceOffset, kTrailingPieceSize, p.trailValue)) {
          return stopPass(i, FailureCause::TrailingPieceFailed, a);
        }
        BlockEvent(UpdateEvent::Kind::BlockWritten, UpdatePhase::WritePass, p, i, count, a);
      }
    }
    ui_.SetProgress(ProgressPosition(progressBase + static_cast<std::uint64_t>(i + 1) * unit, progressTotal));
  }
  result.reached = count * unit;
  return result;
}

bool FlashRun::CheckBlock(const SectionPlan& p, std::uint32_t b, std::uint32_t count, UpdatePhase phase,
                          FailureCause differsCause, FailureCause& cause) {
  // Checks step by the 4096 bytes a CheckBlock covers.
  const std::uint32_t address = p.firstAddress + b * kBlockSize;
  ReadBytes(static_cast<std::uint64_t>(p.firstSentOffset) + static_cast<std::uint64_t>(b) * kBlockSize, blockBuffer_,
            kBlockSize);
  const BlockCheckReply reply = link_.VerifyBlockReply(Code(BootCommand::CheckBlock), p.checkValue, address,
                                                       PayloadCrc16(blockBuffer_, kBlockSize), 0);
  // A lost reply proves nothing either way: the run fails all the same, but the block
  // is not reported as different from the file.
  UpdateEvent::Kind kind = UpdateEvent::Kind::BlockVerified;
  cause = FailureCause::None;
  if (reply.outcome == BlockCheck::Differs) {
    kind = UpdateEvent::Kind::BlockDiffers;
    cause = differsCause;
  } else if (reply.outcome != BlockCheck::Equal) {
    kind = UpdateEvent::Kind::BlockUnanswered;
    cause = FailureCause::CheckUnanswered;
  }
  BlockEvent(kind, phase, p, b, count, address, cause);
  return reply.outcome == BlockCheck::Equal;
}

UpdateEnding FlashRun::End(UpdateEnding ending, FailureCause cause, const FileCheckResult& check) {
  switch (ending) {
    case UpdateEnding::Success:
      ui_.SetProgress(0);
      ui_.ShowMessage(kUpdatedSuccessful);
      ui_.ShowResultLabel();
      ctx_.image.Close();
      // Section 3 alone leaves the log open.
      if (set_ == WrittenSet::Sections1And2) ctx_.log.Close();
      ui_.EnableUpdateButton(true);
      session_.singleNumberVersion = 0;
      break;
    case UpdateEnding::Failure:
      ui_.ShowMessage(kUpdatedFailed);
      ctx_.image.Close();
      ui_.EnableUpdateButton(true);
      // singleNumberVersion stays, so a retry writes the same set.
      break;
    case UpdateEnding::Quiet:
      ui_.ShowMessage(LocalizedText(kTextBootMode, ui_.UiLanguage()));
      ui_.EnableUpdateButton(true);
      session_.singleNumberVersion = 0;
      break;
    case UpdateEnding::Cancelled:
      ui_.EnableUpdateButton(true);
      ctx_.image.Close();
      session_.singleNumberVersion = 0;
      break;
    case UpdateEnding::Stopped:
      ui_.EnableUpdateButton(true);
      ctx_.image.Close();
      break;
    case UpdateEnding::FileRefused:  // Refuse() did the rest
      // A file refused before the run took the button leaves the button as it was.
      if (buttonTaken_) ui_.EnableUpdateButton(true);
      break;
    case UpdateEnding::NoDevice:
    case UpdateEnding::NotRun:
      break;
  }
  session_.updateRunning = 0;
  UpdateEvent e;
  e.kind = UpdateEvent::Kind::Ended;
  e.ending = ending;
  e.cause = cause;
  e.fileCheck = check;
  Emit(e);
  return ending;
}

UpdateEnding FlashRun::Refuse(const FileCheckResult& check, bool closeFile) {
  ctx_.log.AppendLog(kFileMismatch);
  ui_.ShowMessage(kFileMismatch);
  if (closeFile) ctx_.image.Close();
  return End(UpdateEnding::FileRefused, FailureCause::FileRefused, check);
}

UpdateEnding FlashRun::Execute() {
  Phase(UpdatePhase::Checking);
  FirmwareHeaders& headers = ctx_.headers;
  ReadSectionHeaders(ctx_.image, headers);
  // Nothing is sent for a file whose sections do not lie inside it; the button is
  // left as it was.
  if (FileCheckResult check = CheckFileStructure(headers, ctx_.image.Size()); !check.ok()) {
    return Refuse(check, false);
  }
  const bool twoStage = ctx_.family.TwoStage != 0;
  if (!twoStage && ctx_.family.FlashLoader == 0) return End(UpdateEnding::NoDevice, FailureCause::None);
  ui_.EnableUpdateButton(false);
  buttonTaken_ = true;

  const bool single = session_.singleNumberVersion != 0;
  set_ = single ? WrittenSet::Section3 : WrittenSet::Sections1And2;
  // The rest of the file's verdict (model code, a written set with nothing to write
  // or whose blocks wrap the address space) before anything is sent, the TwoStage
  // loader's first QueryLoader included: a refused file sends nothing.
  if (FileCheckResult verdict = CheckFirmwareFile(headers, ctx_.image.Size(), set_); !verdict.ok()) {
    return Refuse(verdict, true);
  }

  if (twoStage) {
    if (StopRequested()) return End(UpdateEnding::Stopped, FailureCause::Stopped);
    // The loader of this family expects to be asked once before anything else; the
    // answer is asked for again below.
    Phase(UpdatePhase::QueryLoader);
    link_.Transact(Code(BootCommand::QueryLoader), nullptr, 0, 0, 0, nullptr, 0, kQueryLoaderDelayMs);
  }

  Phase(UpdatePhase::Confirm);
  if (!ui_.ConfirmFirmware(ConfirmationText(headers, single))) {
    return End(UpdateEnding::Cancelled, FailureCause::Cancelled);
  }

  if (StopRequested()) return End(UpdateEnding::Stopped, FailureCause::Stopped);
  Phase(UpdatePhase::QueryLoader);
  if (!QueryLoaderParameters(link_, loader_)) return End(UpdateEnding::Quiet, FailureCause::LoaderSilent);
  // Only the loader's answer tells whether a section is longer than the part the
  // loader keeps; QueryLoader is a question, so still nothing has been written.
  if (FileCheckResult planned = PlanWrite(headers, set_, loader_.loaderSize, plan_); !planned.ok()) {
    return Refuse(planned, true);
  }
  // Every block sent and every check covers 4096 bytes; another unit would erase
  // what is not rewritten or leave bytes unerased. Refused before the first erase.
  if (loader_.eraseUnitSize != kSupportedEraseUnit) {
    return End(UpdateEnding::Failure, FailureCause::EraseUnitUnsupported);
  }
  const std::uint32_t unit = loader_.eraseUnitSize;

  // Write passes. Progress counts the bytes of all written sections.
  std::uint64_t total = 0;
  for (int s = 0; s < plan_.count; ++s) total += plan_.plans[s].writtenLength;
  std::uint64_t base = 0;
  for (int s = 0; s < plan_.count; ++s) {
    const PassResult pass = WritePass(plan_.plans[s], base, total);
    if (pass.stopRequested) return End(UpdateEnding::Stopped, FailureCause::Stopped);
    // A stopped pass does not end the run: the checks below find what is missing.
    base += pass.reached;
  }

  // Check pass: all blocks but the head of section 1 (3), then all of section 2.
  for (int s = 0; s < plan_.count; ++s) {
    const SectionPlan& p = plan_.plans[s];
    const std::uint32_t count = BlockCount(p.writtenLength, unit);
    Phase(UpdatePhase::CheckPass, p.section);
    for (std::uint32_t b = (s == 0 ? 2 : 0); b < count; ++b) {
      if (StopRequested()) return End(UpdateEnding::Stopped, FailureCause::Stopped);
      FailureCause cause = FailureCause::None;
      if (!CheckBlock(p, b, count, UpdatePhase::CheckPass, FailureCause::BlockDiffers, cause)) {
        return End(UpdateEnding::Failure, cause);
      }
    }
  }

  // The loader holds the head until SaveHead. The head is checked whether or not
  // SaveHead was acknowledged (a lost acknowledgement is not a lost head, and an
  // unsaved head must not pass for success), and only for blocks the section has.
  if (StopRequested()) return End(UpdateEnding::Stopped, FailureCause::Stopped);
  Phase(UpdatePhase::SaveHead);
  link_.Transact(Code(BootCommand::SaveHead), nullptr, 0, 0, 0, nullptr, 0, 0);
  {
    const SectionPlan& head = plan_.plans[0];
    const std::uint32_t count = BlockCount(head.writtenLength, unit);
    Phase(UpdatePhase::HeadCheck, head.section);
    for (std::uint32_t b = 0; b < 2 && b < count; ++b) {
      if (StopRequested()) return End(UpdateEnding::Stopped, FailureCause::Stopped);
      FailureCause cause = FailureCause::None;
      if (!CheckBlock(head, b, count, UpdatePhase::HeadCheck, FailureCause::HeadDiffers, cause)) {
        return End(UpdateEnding::Failure, cause);
      }
    }
  }

  if (StopRequested()) return End(UpdateEnding::Stopped, FailureCause::Stopped);
  Phase(UpdatePhase::ImageInfo);
  std::uint8_t info[16];
  const std::uint16_t infoLength = BuildImageInfoRecord(headers, set_, info);
  // Not examined: every block is verified already.
  link_.SendPayloadWithCrc(Code(BootCommand::SetImageInfo), info, PayloadCrc16(info, infoLength), infoLength);

  if (StopRequested()) return End(UpdateEnding::Stopped, FailureCause::Stopped);
  Phase(UpdatePhase::Finish);
  link_.SendFinish();  // not examined: the adapter restarts into the new firmware
  return End(UpdateEnding::Success, FailureCause::None);
}

}  // namespace

LoaderParameters LoaderParameters::Decode(const std::uint8_t (&bytes)[size]) {
  LoaderParameters p;
  p.loaderSize = Get32(bytes + 0);
  p.eraseUnitSize = Get32(bytes + 12);
  return p;
}

bool QueryLoaderParameters(BootLink& link, LoaderParameters& out) {
  std::uint8_t reply[LoaderParameters::size] = {};
  if (!link.Transact(Code(BootCommand::QueryLoader), nullptr, 0, 0, 0, reply, sizeof reply, kQueryLoaderDelayMs)) {
    return false;
  }
  out = LoaderParameters::Decode(reply);
  return true;
}

std::uint16_t BuildImageInfoRecord(const FirmwareHeaders& headers, WrittenSet set, std::uint8_t (&out)[16]) {
  std::memset(out, 0, sizeof out);
  if (set == WrittenSet::Section3) {
    Put32(out + 0, headers.h3.length());
    Put32(out + 4, headers.h3.versionWord());
    return 8;
  }
  Put32(out + 0, headers.h1.length());
  Put32(out + 4, headers.h1.versionWord());
  Put32(out + 8, headers.h2.length());
  Put32(out + 12, headers.h2.versionWord());
  return 16;
}

std::u16string ConfirmationText(const FirmwareHeaders& headers, bool singleNumberVersion) {
  const qv_firmware_header& shown = singleNumberVersion ? headers.h3 : headers.h1;
  const bool beta = shown.beta() != 0;
  char text[64] = {};
  for (const auto& f : kConfirmationFormats) {
    if (f.singleNumber != singleNumberVersion || f.beta != beta) continue;
    const int version = shown.version(), second = headers.h2.version();
    const unsigned betaNumber = shown.beta();
    if (singleNumberVersion && beta) {
      std::snprintf(text, sizeof text, f.format, version, betaNumber);
    } else if (singleNumberVersion) {
      std::snprintf(text, sizeof text, f.format, version);
    } else if (beta) {
      std::snprintf(text, sizeof text, f.format, version, second, betaNumber);
    } else {
      std::snprintf(text, sizeof text, f.format, version, second);
    }
  }
  std::u16string out;
  for (const char* c = text; *c; ++c) out += static_cast<char16_t>(static_cast<unsigned char>(*c));
  return out;
}

std::uint32_t ProgressPosition(std::uint64_t done, std::uint64_t total) {
  if (total == 0) return 100;
  const std::uint64_t position = done * 100 / total;
  return position > 100 ? 100 : static_cast<std::uint32_t>(position);
}

UpdateEnding RunFlashLoaderUpdate(UpdateContext& ctx) {
  FlashRun run(ctx);
  return run.Execute();
}

UpdateEnding FlashUpdateThread(UpdateContext& ctx) {
  int idle = 0;
  if (!ctx.session.updateRunning.compare_exchange_strong(idle, 1)) return UpdateEnding::NotRun;
  return RunFlashLoaderUpdate(ctx);
}

const char* UpdateEndingName(UpdateEnding e) {
  switch (e) {
    case UpdateEnding::NotRun:
      return "NotRun";
    case UpdateEnding::Success:
      return "Success";
    case UpdateEnding::Failure:
      return "Failure";
    case UpdateEnding::Quiet:
      return "Quiet";
    case UpdateEnding::Cancelled:
      return "Cancelled";
    case UpdateEnding::FileRefused:
      return "FileRefused";
    case UpdateEnding::NoDevice:
      return "NoDevice";
    case UpdateEnding::Stopped:
      return "Stopped";
  }
  return "?";
}

const char* FailureCauseName(FailureCause c) {
  switch (c) {
    case FailureCause::None:
      return "None";
    case FailureCause::FileRefused:
      return "FileRefused";
    case FailureCause::LoaderSilent:
      return "LoaderSilent";
    case FailureCause::EraseUnitUnsupported:
      return "EraseUnitUnsupported";
    case FailureCause::EraseFailed:
      return "EraseFailed";
    case FailureCause::RecordFailed:
      return "RecordFailed";
    case FailureCause::TrailingPieceFailed:
      return "TrailingPieceFailed";
    case FailureCause::LeadingPieceFailed:
      return "LeadingPieceFailed";
    case FailureCause::BlockDiffers:
      return "BlockDiffers";
    case FailureCause::HeadDiffers:
      return "HeadDiffers";
    case FailureCause::CheckUnanswered:
      return "CheckUnanswered";
    case FailureCause::Cancelled:
      return "Cancelled";
    case FailureCause::Stopped:
      return "Stopped";
  }
  return "?";
}

}  // namespace korbex
