// fwup: stores four firmware image files in the firmware area (the last
// 4 MiB of the NAND) behind a header page, and on request reads them back
// through the stored header and compares them with the files.
//
// Stored layout, page 0 of the header block H (the first good block of the
// firmware area), programmed last with the block tag 0xFFF0:
//   "Q005", then for each file: its size (32-bit little-endian) and the
//   blocks that hold it (16-bit little-endian each), zero up to the page end.
// Each file starts on page 0 of a fresh good block; blocks are taken in
// ascending order from H + 1 on.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/byte_order.hpp"
#include "common/vendor_opcodes.hpp"
#include "procedures/image_file.hpp"
#include "procedures/procedures.hpp"
#include "procedures/scratch_file.hpp"

namespace kestrin {
namespace {

constexpr std::size_t kFileCount = 4;
constexpr char kImageTag[] = "ZANQ005";
constexpr std::size_t kImageTagLength = 7;
constexpr char kHeaderTag[] = "Q005";
constexpr std::size_t kHeaderTagLength = 4;
constexpr std::uint64_t kMaxImageSize = 0xFFFFFFFFULL;  // the header holds 32-bit sizes

using common::byte_order::getLe16;
using common::byte_order::getLe32;
using common::byte_order::putLe16;
using common::byte_order::putLe32;

class Loader {
 public:
  Loader(RunContext& ctx, const char* const files[kFileCount], bool verify)
      : ctx_(ctx), g_(ctx.geometry), paths_(files), verify_(verify) {}

  bool run() {
    H_ = g_.FirmwareStartBlock;
    headerLoaded_ = false;

    if (!openImage(0)) {
      return false;
    }
    scratch_.create(2);
    for (std::size_t k = 1; k < kFileCount; ++k) {
      if (!openImage(k)) {
        return false;
      }
    }

    std::uint64_t total = 0;
    for (const ImageFile& f : files_) {
      total += f.size();
    }
    progressStep_ = total / 20 * (verify_ ? 2 : 1) / g_.PageSize;
    progress_ = 0;

    if (!checkTag()) {
      return false;
    }
    if (!checkCapacity()) {
      return false;
    }

    header_.assign(g_.PageSize, 0);
    std::memcpy(header_.data(), kHeaderTag, kHeaderTagLength);
    headerPos_ = kHeaderTagLength;
    if (!findGoodBlock(g_.FirmwareStartBlock, H_)) {
      return false;
    }
    X_ = H_;

    for (std::size_t k = 0; k < kFileCount; ++k) {
      ctx_.console.print("load '%s'...", paths_[k]);
      if (!storeFile(k)) {
        return false;
      }
      ctx_.console.print("ok\n");
    }

    if (!eraseForLoad(H_)) {
      return false;
    }
    if (!ProgramPageFromHost(ctx_.nand(), g_.firstPage(H_), common::vendor_opcodes::kFirmwareBlockTag,
                             header_.data())) {
      return false;
    }

    if (verify_) {
      for (std::size_t k = 0; k < kFileCount; ++k) {
        ctx_.console.print("read back compare '%s'...", paths_[k]);
        if (!readBackCompare(k)) {
          return false;
        }
        ctx_.console.print("ok\n");
      }
    }
    scratch_.close();
    return true;
  }

 private:
  std::uint64_t blockBytes() const { return static_cast<std::uint64_t>(g_.PagesPerBlock) * g_.PageSize; }
  std::uint64_t blocksFor(std::uint64_t size) const { return (size + blockBytes() - 1) / blockBytes(); }

  bool openImage(std::size_t k) {
    if (!files_[k].open(paths_[k])) {
      ctx_.console.print("The file '%s' can not open!\n", paths_[k]);
      return false;
    }
    return true;
  }

  bool checkTag() {
    std::uint8_t tag[kImageTagLength] = {};
    const bool whole = files_[0].readExactly(tag, kImageTagLength);
    if (!whole || std::memcmp(tag, kImageTag, kImageTagLength) != 0) {
      ctx_.console.print("The tag of '%s' error!\n", paths_[0]);
      return false;
    }
    files_[0].rewind();  // the tag is part of the stored image
    return true;
  }

  // Refuses, before anything is written, images that cannot fit in the
  // firmware area even without a bad block, or whose block lists do not fit
  // in the header page.
  bool checkCapacity() {
    std::uint64_t blocks = 0;
    std::uint64_t headerBytes = kHeaderTagLength;
    for (std::size_t k = 0; k < kFileCount; ++k) {
      if (files_[k].size() > kMaxImageSize) {
        ctx_.console.print("The file '%s' is too large!\n", paths_[k]);
        return false;
      }
      const std::uint64_t n = blocksFor(files_[k].size());
      blocks += n;
      headerBytes += 4 + 2 * n;
    }
    const std::uint32_t area =
        g_.BlockCount > g_.FirmwareStartBlock ? static_cast<std::uint32_t>(g_.BlockCount - g_.FirmwareStartBlock) : 0;
    const std::uint32_t room = area > 0 ? area - 1 : 0;  // one block holds the header
    if (blocks > room) {
      ctx_.console.print("The images need %u blocks, the firmware area holds %u!\n", static_cast<unsigned>(blocks),
                         static_cast<unsigned>(room));
      return false;
    }
    if (headerBytes > g_.PageSize) {
      ctx_.console.print("The header of the images needs %u bytes, a page holds %u!\n",
                         static_cast<unsigned>(headerBytes), static_cast<unsigned>(g_.PageSize));
      return false;
    }
    return true;
  }

  // The first block at or after `from` whose status is good.
  bool findGoodBlock(std::uint32_t from, std::uint16_t& found) {
    for (std::uint32_t b = from; b < g_.BlockCount; ++b) {
      const CommandOutcome sts = ctx_.commands.cmd_bBlockStatus(g_.firstPage(static_cast<std::uint16_t>(b)));
      if (sts.transportError()) {
        transportError(sts);
        return false;
      }
      if (sts.pass()) {
        found = static_cast<std::uint16_t>(b);
        return true;
      }
    }
    ctx_.console.print("No good block left in the firmware area!\n");
    return false;
  }

  bool eraseForLoad(std::uint16_t block) {
    const CommandOutcome erase = ctx_.commands.cmd_bEraseBlock(block);
    if (erase.transportError()) {
      transportError(erase);
      return false;
    }
    if (!erase.pass()) {
      MarkBlockBad(ctx_.nand(), block);
      return false;
    }
    return true;
  }

  void transportError(const CommandOutcome& outcome) { ctx_.failures.report(outcome, FailureForm::EndOfLine); }

  void appendHeader(const std::uint8_t* bytes, std::size_t n) {
    // checkCapacity made sure that every entry fits in the page
    std::memcpy(header_.data() + headerPos_, bytes, n);
    headerPos_ += n;
  }

  void countPage(std::uint64_t& pageCounter) {
    ++pageCounter;
    if (pageCounter >= progressStep_) {
      // a percentage: it stops at 100
      progress_ = static_cast<std::uint8_t>(std::min(100, progress_ + 5));
      pageCounter = 0;
      scratch_.rewrite(progress_);
    }
  }

  bool readFailed(std::size_t k) {
    ctx_.console.print("The file '%s' can not be read!\n", paths_[k]);
    return false;
  }

  bool storeFile(std::size_t k) {
    ImageFile& file = files_[k];
    std::uint8_t size[4];
    putLe32(size, static_cast<std::uint32_t>(file.size()));
    appendHeader(size, sizeof size);

    std::uint32_t pageIndex = g_.PagesPerBlock;  // the first page opens a new block
    std::uint64_t pageCounter = 0;
    std::uint64_t left = file.size();
    while (left > 0) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, g_.PageSize));
      if (!file.readExactly(ctx_.ioBuffer.data(), n)) {
        return readFailed(k);
      }
      // the rest of the last page carries no meaning; leave it erased
      std::memset(ctx_.ioBuffer.data() + n, 0xFF, g_.PageSize - n);
      left -= n;

      if (pageIndex == g_.PagesPerBlock) {
        if (!findGoodBlock(static_cast<std::uint32_t>(X_) + 1, X_)) {
          return false;
        }
        if (!eraseForLoad(X_)) {
          return false;
        }
        std::uint8_t block[2];
        putLe16(block, X_);
        appendHeader(block, sizeof block);
        pageIndex = 0;
      }
      if (!ProgramPageFromHost(ctx_.nand(), g_.firstPage(X_) + pageIndex, common::vendor_opcodes::kFirmwareBlockTag,
                               ctx_.ioBuffer.data())) {
        return false;
      }
      ++pageIndex;
      countPage(pageCounter);
    }
    return true;
  }

  // Reads the stored header once per run.
  bool loadStoredHeader() {
    if (headerLoaded_) {
      return true;
    }
    if (!findGoodBlock(H_, H_)) {
      return false;
    }
    header_.assign(g_.PageSize, 0);
    if (!ReadPageToHost(ctx_.nand(), g_.firstPage(H_), header_.data())) {
      return false;
    }
    if (std::memcmp(header_.data(), kHeaderTag, kHeaderTagLength) != 0) {
      return false;
    }
    headerLoaded_ = true;
    return true;
  }

  // Finds file k's entry in the stored header and checks that its size and
  // every one of its blocks lie within the page and the firmware area.
  bool locateStored(std::size_t k) {
    const std::uint64_t pageSize = g_.PageSize;
    std::uint64_t offset = kHeaderTagLength;
    for (std::size_t i = 0;; ++i) {
      if (offset + 4 > pageSize) {
        return false;
      }
      const std::uint32_t size = getLe32(header_.data() + offset);
      const std::uint64_t blocks = blocksFor(size);
      if (offset + 4 + 2 * blocks > pageSize) {
        return false;
      }
      if (i == k) {
        storedSize_ = size;
        entryOffset_ = static_cast<std::size_t>(offset);
        break;
      }
      offset += 4 + 2 * blocks;
    }
    const std::uint64_t blocks = blocksFor(storedSize_);
    for (std::uint64_t i = 0; i < blocks; ++i) {
      const std::uint16_t b = getLe16(header_.data() + entryOffset_ + 4 + 2 * i);
      if (b < H_ || b >= g_.BlockCount) {
        return false;
      }
    }
    return true;
  }

  // Reads n bytes of the stored file from position T_ into `out`.
  bool readStored(std::uint8_t* out, std::size_t n) {
    const std::uint32_t pageMask = static_cast<std::uint32_t>(g_.PagesPerBlock) - 1;
    const std::uint64_t offsetMask = static_cast<std::uint64_t>(g_.PageSize) - 1;
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, storedSize_ - T_));
    while (n > 0) {
      const std::uint64_t blockIndex = T_ >> (g_.PageSizeShift + g_.PagesPerBlockShift);
      const std::uint16_t block = getLe16(header_.data() + entryOffset_ + 4 + 2 * blockIndex);
      const auto page = static_cast<std::uint32_t>((T_ >> g_.PageSizeShift) & pageMask);
      const auto from = static_cast<std::size_t>(T_ & offsetMask);
      if (!ReadPageToHost(ctx_.nand(), g_.firstPage(block) + page, pageBuffer_.data())) {
        return false;
      }
      const std::size_t take = std::min<std::size_t>(n, g_.PageSize - from);
      std::memcpy(out, pageBuffer_.data() + from, take);
      out += take;
      n -= take;
      T_ += take;
    }
    return true;
  }

  bool readBackCompare(std::size_t k) {
    ImageFile& file = files_[k];
    if (!file.rewind()) {
      return readFailed(k);
    }
    if (!loadStoredHeader() || !locateStored(k)) {
      return false;
    }
    if (storedSize_ != file.size()) {
      return false;  // the stored file is not this file
    }
    T_ = 0;
    std::uint64_t pageCounter = 0;
    std::uint64_t left = file.size();
    for (;;) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, g_.PageSize));
      if (!file.readExactly(ctx_.ioBuffer.data(), n)) {
        return readFailed(k);
      }
      left -= n;
      if (!readStored(compareBuffer_.data(), n)) {
        return false;
      }
      if (std::memcmp(ctx_.ioBuffer.data(), compareBuffer_.data(), n) != 0) {
        return false;
      }
      if (n < g_.PageSize) {
        return true;  // the end of the file
      }
      countPage(pageCounter);
    }
  }

  RunContext& ctx_;
  const DeviceGeometry& g_;
  const char* const* paths_;
  const bool verify_;

  std::array<ImageFile, kFileCount> files_;
  ScratchFile scratch_;
  std::uint64_t progressStep_ = 0;
  int progress_ = 0;

  // exactly one page, so that nothing can read past it unnoticed
  std::vector<std::uint8_t> header_;
  std::size_t headerPos_ = 0;
  std::uint16_t H_ = 0;
  std::uint16_t X_ = 0;
  bool headerLoaded_ = false;

  // read-back
  std::array<std::uint8_t, kIoBufferSize> pageBuffer_{};
  std::array<std::uint8_t, kIoBufferSize> compareBuffer_{};
  std::uint32_t storedSize_ = 0;
  std::size_t entryOffset_ = 0;
  std::uint64_t T_ = 0;
};

}  // namespace

bool firmwareLoad(RunContext& ctx, const char* const files[4], std::uint8_t verify) {
  if (!ctx.readGeometry()) {
    return false;
  }
  return Loader(ctx, files, verify != 0).run();
}

}  // namespace kestrin
