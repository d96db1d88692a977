// eraa and bchk: the host-driven erase pass and blank check. Both walk the
// blocks 1 to E - 1 (block 0 is never touched), print one line per block,
// mark failing blocks bad and report their progress in the scratch file.
#include <cstdint>
#include <cstring>

#include "common/vendor_opcodes.hpp"
#include "procedures/procedures.hpp"
#include "procedures/scratch_file.hpp"

namespace kestrin {
namespace {

constexpr std::uint8_t kIncludeBadBlocks = 0x01;
constexpr std::uint8_t kWholeDevice = 0x02;
constexpr std::uint8_t kProgramVerify = 0x04;

constexpr std::uint32_t kZoneBlocks = 1024;
constexpr std::uint32_t kZoneFailLimit = 24;

enum class Pass { Erase, Check };

// What became of one block.
enum class BlockResult { Done, Failed, Abort };

class Walk {
 public:
  Walk(RunContext& ctx, Pass pass, std::uint8_t modeDigit)
      : ctx_(ctx), pass_(pass), mode_(modeDigit), g_(ctx.geometry) {}

  bool run() {
    const std::uint16_t end = (mode_ & kWholeDevice) ? g_.BlockCount : g_.FirmwareStartBlock;
    ScratchFile scratch;
    scratch.create(2);
    const std::uint32_t step = end / (pass_ == Pass::Erase ? 20U : 50U);
    std::uint32_t blockCounter = 0;
    zoneFails_ = 0;

    for (std::uint32_t b = 1; b < end; ++b) {
      if (pass_ == Pass::Check) {
        if (b % kZoneBlocks == 0) {
          zoneFails_ = 0;
        }
        if (zoneFails_ >= kZoneFailLimit) {
          ctx_.console.print("fail_count_in_one_zone >= 24!!!");
          return false;
        }
      }
      if (blockCounter == step) {
        scratch.rewrite(static_cast<std::uint8_t>((100U * b) / end));
        blockCounter = 0;
      }
      ctx_.console.print("Block %04X:", static_cast<unsigned>(b));
      const auto block = static_cast<std::uint16_t>(b);
      const BlockResult result = pass_ == Pass::Erase ? eraseBlock(block) : checkBlock(block);
      if (result == BlockResult::Abort) {
        return false;
      }
      ++blockCounter;
    }
    scratch.close();
    return true;
  }

 private:
  // A request that did not complete: the procedure ends here.
  BlockResult transportError(const CommandOutcome& outcome) {
    ctx_.failures.report(outcome, FailureForm::EndOfLine);
    return BlockResult::Abort;
  }

  BlockResult countFailure(std::uint16_t block) {
    MarkBlockBad(ctx_.nand(), block);
    ++zoneFails_;
    return BlockResult::Failed;
  }

  // Status of the block. Returns true when the block is to be worked on; a
  // bad block skipped here is only reported.
  bool status(std::uint16_t block, BlockResult& result) {
    const CommandOutcome sts = ctx_.commands.cmd_bBlockStatus(g_.firstPage(block));
    if (sts.transportError()) {
      result = transportError(sts);
      return false;
    }
    if (sts.pass()) {
      ctx_.console.print(" sts:good");
      return true;
    }
    ctx_.console.print(" sts:bad ");
    if (!(mode_ & kIncludeBadBlocks)) {
      ctx_.console.print("\n");
      result = BlockResult::Done;
      return false;
    }
    return true;
  }

  BlockResult eraseBlock(std::uint16_t block) {
    BlockResult result = BlockResult::Done;
    if (!status(block, result)) {
      return result;
    }
    const CommandOutcome erase = ctx_.commands.cmd_bEraseBlock(block);
    if (erase.transportError()) {
      return transportError(erase);
    }
    if (erase.pass()) {
      ctx_.console.print(" erase:ok\n");
    } else {
      ctx_.console.print(" erase:fail\n");
      MarkBlockBad(ctx_.nand(), block);
    }
    return BlockResult::Done;
  }

  BlockResult checkBlock(std::uint16_t block) {
    BlockResult result = BlockResult::Done;
    if (!status(block, result)) {
      return result;
    }
    if (mode_ & kProgramVerify) {
      if (!writePattern(0x00)) {
        return BlockResult::Abort;
      }
      for (std::uint32_t p = 0; p < g_.PagesPerBlock; ++p) {
        const CommandOutcome prog =
            ctx_.commands.cmd_bProgramPage(g_.firstPage(block) + p, block, common::vendor_opcodes::kPageBufferAddress);
        if (prog.transportError()) {
          return transportError(prog);
        }
        if (!prog.pass()) {
          ctx_.console.print(" prog:fail\n");
          return countFailure(block);
        }
      }
      ctx_.console.print(" prog:ok");
      result = readBack(block, 0x00, false);
      if (result != BlockResult::Done) {
        return result;
      }
    }
    const CommandOutcome erase = ctx_.commands.cmd_bEraseBlock(block);
    if (erase.transportError()) {
      return transportError(erase);
    }
    if (!erase.pass()) {
      ctx_.console.print(" erase:fail\n");
      return countFailure(block);
    }
    ctx_.console.print(" erase:ok");
    return readBack(block, 0xFF, true);
  }

  // Reads every page of the block and compares it with `expected`.
  BlockResult readBack(std::uint16_t block, std::uint8_t expected, bool lastStep) {
    for (std::uint32_t p = 0; p < g_.PagesPerBlock; ++p) {
      const CommandOutcome read =
          ctx_.commands.cmd_bReadPage(g_.firstPage(block) + p, common::vendor_opcodes::kPageBufferAddress);
      if (read.transportError()) {
        return transportError(read);
      }
      if (!read.pass()) {
        ctx_.console.print(" read:fail");
        ctx_.console.print(" check:fail\n");
        return countFailure(block);
      }
      // Start from the opposite pattern, so that bytes that never arrive cannot pass.
      if (!readPageBuffer(static_cast<std::uint8_t>(~expected))) {
        return BlockResult::Abort;
      }
      for (std::uint32_t i = 0; i < g_.PageSize; ++i) {
        if (ctx_.ioBuffer[i] != expected) {
          ctx_.console.print(" check:fail\n");
          return countFailure(block);
        }
      }
    }
    ctx_.console.print(lastStep ? " read:ok check:ok\n" : " read:ok check:ok");
    return BlockResult::Done;
  }

  // Transfer: the pattern into the controller's page buffer.
  bool writePattern(std::uint8_t pattern) {
    std::memset(ctx_.ioBuffer.data(), pattern, g_.PageSize);
    return writePageBuffer(ctx_.nand(), ctx_.ioBuffer.data());
  }

  // Transfer: the controller's page buffer into the I/O buffer, which is
  // first filled with `fill`.
  bool readPageBuffer(std::uint8_t fill) {
    std::memset(ctx_.ioBuffer.data(), fill, g_.PageSize);
    return kestrin::readPageBuffer(ctx_.nand(), ctx_.ioBuffer.data());
  }

  RunContext& ctx_;
  const Pass pass_;
  const std::uint8_t mode_;
  const DeviceGeometry& g_;
  std::uint32_t zoneFails_ = 0;
};

}  // namespace

bool eraseAll(RunContext& ctx, std::uint8_t modeDigit) {
  if (!ctx.readGeometry()) {
    return false;
  }
  return Walk(ctx, Pass::Erase, modeDigit).run();
}

bool blankCheck(RunContext& ctx, std::uint8_t modeDigit) {
  if (!ctx.readGeometry()) {
    return false;
  }
  return Walk(ctx, Pass::Check, modeDigit).run();
}

}  // namespace kestrin
