#include "procedures/scratch_file.hpp"

#include <utility>

#include "procedures/regular_file.hpp"

namespace kestrin {
namespace {

ScratchFile::Observer& observerSlot() {
  static ScratchFile::Observer observer;
  return observer;
}

}  // namespace

void ScratchFile::setObserver(Observer observer) { observerSlot() = std::move(observer); }

ScratchFile::~ScratchFile() { close(); }

void ScratchFile::create(std::uint8_t initial) {
  close();
  // Shared for reading and writing on every platform we build for; a name
  // taken by anything but a regular file counts as one that cannot be created.
  file_ = createRegularFileToWrite(kScratchFileName);
  if (file_ != nullptr) {
    put(initial);
  }
}

void ScratchFile::rewrite(std::uint8_t value) {
  if (file_ == nullptr) {
    return;
  }
  // A failed reposition or write goes unnoticed: progress never decides a verdict.
  std::fseek(file_, 0, SEEK_SET);
  put(value);
}

void ScratchFile::close() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
}

void ScratchFile::put(std::uint8_t value) {
  std::fputc(value, file_);
  std::fflush(file_);
  if (const Observer& observer = observerSlot()) {
    observer(value);
  }
}

}  // namespace kestrin
