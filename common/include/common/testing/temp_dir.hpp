// A fresh folder for one test, removed with everything in it when the test
// is done.
#pragma once

#include <string>
#include <string_view>

namespace common::test {

// A new folder under the system's temporary folder ($TMPDIR, else /tmp),
// named `prefix` and six random characters, mode 0700. Throws
// std::runtime_error when it cannot be made. The destructor removes it and
// all it holds (errors ignored).
class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // The path of `name` inside the folder.
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

}  // namespace common::test
