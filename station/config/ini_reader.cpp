#include "config/ini_reader.hpp"

#include <iniparser.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/decimal_text.hpp"

namespace station {

namespace {

using common::decimal_text::IsWhiteSpace;

std::string_view TrimTrailingWhite(std::string_view s) {
  while (!s.empty() && IsWhiteSpace(s.back())) s.remove_suffix(1);
  return s;
}

// iniparser_load is never called, and nothing else in iniparser reports
// errors; the callback is silenced all the same so that no path can print.
int Silent(const char*, ...) { return 0; }

void SilenceIniparser() {
  static std::once_flag once;
  std::call_once(once, [] { iniparser_set_error_callback(&Silent); });
}

}  // namespace

std::string FoldToLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Cuts the text into lines, applies the reading rules and collects the
// entries in the order of their first appearance; Finish() hands them to an
// iniparser dictionary. The entries are collected here first because
// iniparser's dictionary_set searches the whole dictionary on every call.
class IniFile::Builder {
 public:
  void Feed(std::string_view bytes) {
    for (char c : bytes) {
      chunk_.push_back(c);
      if (c == '\n' || chunk_.size() == kChunkLength) Flush();
    }
  }

  _dictionary_* Finish() {
    if (!chunk_.empty()) Flush();
    dictionary* d = dictionary_new(names_.size());
    if (d == nullptr) return nullptr;
    for (std::size_t i = 0; i < names_.size(); ++i) {
      const std::optional<std::string>& v = values_[i];
      if (dictionary_set(d, names_[i].c_str(), v ? v->c_str() : nullptr) != 0) {
        iniparser_freedict(d);
        return nullptr;
      }
    }
    return d;
  }

 private:
  void Flush() {
    std::string_view line(chunk_);
    line = line.substr(0, line.find('\0'));
    Line(line);
    chunk_.clear();
  }

  void Line(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size() && IsWhiteSpace(line[i])) ++i;
    line.remove_prefix(i);
    if (line.empty() || line[0] == ';' || line[0] == '#') return;

    if (line[0] == '[' && line.size() > 1 && line[1] != ']') {
      std::string_view name = line.substr(1);
      name = name.substr(0, name.find(']'));
      section_ = FoldToLower(name);
      inSection_ = true;
      // A name holding ':' would clash with "section:key" entries and is
      // never enumerated; its keys are stored all the same.
      if (section_.find(':') == std::string::npos) Set(section_, std::nullopt);
      return;
    }

    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return;
    const std::string_view key = TrimTrailingWhite(line.substr(0, eq));
    if (key.empty()) return;

    std::string_view value = line.substr(eq + 1);
    std::size_t v = 0;
    while (v < value.size() && IsWhiteSpace(value[v])) ++v;
    value.remove_prefix(v);
    if (value.empty() || value[0] == ';' || value[0] == '#') return;
    if (value[0] == '"' || value[0] == '\'') {
      const char quote = value[0];
      value.remove_prefix(1);
      value = value.substr(0, value.find(quote));
    } else {
      value = value.substr(0, value.find_first_of(";#"));
    }
    value = TrimTrailingWhite(value);

    if (!inSection_) return;
    std::string entry = section_;
    entry.push_back(':');
    entry += FoldToLower(key);
    Set(entry, std::string(value));
  }

  void Set(const std::string& name, std::optional<std::string> value) {
    auto found = index_.find(name);
    if (found != index_.end()) {
      // A repeated header keeps its place; a repeated key takes the new value.
      if (value) values_[found->second] = std::move(value);
      return;
    }
    if (names_.size() >= kMaxEntries) return;
    index_.emplace(name, names_.size());
    names_.push_back(name);
    values_.push_back(std::move(value));
  }

  std::string chunk_;
  std::string section_;
  bool inSection_ = false;
  std::vector<std::string> names_;
  std::vector<std::optional<std::string>> values_;  // nothing for a section
  std::unordered_map<std::string, std::size_t> index_;
};

IniFile IniFile::Parse(std::string_view text) {
  SilenceIniparser();
  Builder builder;
  builder.Feed(text);
  return IniFile(builder.Finish());
}

IniFile IniFile::Load(const char* path) {
  SilenceIniparser();
  if (path == nullptr) return IniFile();
  // Only a regular file is read: a directory, a FIFO or a device under the
  // file's name counts as a file that cannot be opened (a FIFO would block,
  // a device might never end).
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return IniFile();
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return IniFile();
  Builder builder;
  std::vector<char> block(64 * 1024);
  bool failed = false;
  for (;;) {
    const std::size_t got = std::fread(block.data(), 1, block.size(), f);
    builder.Feed(std::string_view(block.data(), got));
    if (got < block.size()) {
      failed = std::ferror(f) != 0;  // a directory, an I/O error
      break;
    }
  }
  std::fclose(f);
  if (failed) return IniFile();
  return IniFile(builder.Finish());
}

IniFile::IniFile(IniFile&& other) noexcept : dict_(std::exchange(other.dict_, nullptr)) {}

IniFile& IniFile::operator=(IniFile&& other) noexcept {
  if (this != &other) {
    if (dict_ != nullptr) iniparser_freedict(dict_);
    dict_ = std::exchange(other.dict_, nullptr);
  }
  return *this;
}

IniFile::~IniFile() {
  if (dict_ != nullptr) iniparser_freedict(dict_);
}

int IniFile::sectionCount() const {
  if (dict_ == nullptr) return 0;
  const int n = iniparser_getnsec(dict_);
  return n < 0 ? 0 : n;
}

std::string IniFile::sectionName(int n) const {
  if (dict_ == nullptr || n < 0) return {};
  const char* name = iniparser_getsecname(dict_, n);
  return name != nullptr ? std::string(name) : std::string();
}

std::optional<std::string> IniFile::value(std::string_view sectionColonKey) const {
  if (dict_ == nullptr) return std::nullopt;
  if (sectionColonKey.find('\0') != std::string_view::npos) return std::nullopt;
  // dictionary_get, not iniparser_getstring: the latter folds with the
  // locale's tolower (which may change bytes >= 0x80) and cuts keys at 1024
  // bytes, so a long key could find a different entry.
  const std::string key = FoldToLower(sectionColonKey);
  const char* v = dictionary_get(dict_, key.c_str(), nullptr);
  if (v == nullptr) return std::nullopt;  // missing, or a section's own entry
  return std::string(v);
}

}  // namespace station
