// Reading the station's INI files ("ACTiming.ini", "lang.ini").
//
// The line reader below applies the station's reading rules itself and fills
// an iniparser dictionary; the section count, the section names and the
// look-ups then go through iniparser. iniparser's own loader is not used: it
// gives up on a whole file for one odd line, reads long lines, byte-order
// marks, quotes and empty values differently, and prints to standard error.
//
// The rules, as this reader applies them:
//  1. The text is cut into lines; at most 1023 bytes of a line are taken at
//     once, the rest of a longer line is read as a further line. A NUL byte
//     ends the text of its line (the bytes after it up to the line break are
//     not looked at), so a file in UTF-16 yields nothing.
//  2. Leading white space is skipped. An empty line or one beginning with ';'
//     or '#' is a comment.
//  3. '[' followed by at least one byte other than ']' starts a section
//     header; the name is the text up to the first ']' unchanged (nothing
//     trimmed), text after the ']' is ignored. Without a ']' the name is the
//     rest of the line, line break included.
//  4. Otherwise "key = value": the key is the text before the first '=',
//     trailing white space removed, never empty. The value starts after the
//     '=' and the white space after it. A value in double (single) quotes is
//     the text up to the next double (single) quote, or up to the end of the
//     line when no closing quote follows; an unquoted value ends at the first
//     ';' or '#'. Trailing white space is removed from every value; leading
//     blanks inside quotes stay. An empty value part, or one beginning with
//     ';' or '#', makes no key line.
//  5. A key line belongs to the last header above it; key lines above the
//     first header are dropped.
//  6. Section names and keys are folded to lower case (A-Z only, every other
//     byte unchanged, whatever the locale); look-ups are folded the same way.
//  7. A repeated header continues its section; a repeated key replaces the
//     earlier value.
//  8. Sections are enumerated in the order of their first header; a name
//     holding ':' is not enumerated (its keys can still be looked up).
//  9. Anything else is ignored silently. Nothing is ever printed.
//
// Limit: at most kMaxEntries distinct entries (sections plus keys) are kept;
// new sections and keys after that are ignored (values of entries already
// kept are still replaced). iniparser's dictionary costs time quadratic in
// its size, so the limit keeps any file's load short.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

struct _dictionary_;

namespace station {

class IniFile {
 public:
  static constexpr std::size_t kChunkLength = 1023;
  static constexpr std::size_t kMaxEntries = 8192;

  // Loads the file; a file that cannot be opened or read, or that is not a
  // regular file, gives an IniFile that is not open().
  static IniFile Load(const char* path);
  // Parses text already in memory (tests, fuzzing); always open() unless
  // memory ran out.
  static IniFile Parse(std::string_view text);

  IniFile(IniFile&&) noexcept;
  IniFile& operator=(IniFile&&) noexcept;
  IniFile(const IniFile&) = delete;
  IniFile& operator=(const IniFile&) = delete;
  ~IniFile();

  bool open() const { return dict_ != nullptr; }
  // Sections in the order of their first header, folded to lower case,
  // without those whose name holds ':'.
  int sectionCount() const;
  // The n-th section's name; empty when n is out of range.
  std::string sectionName(int n) const;
  // "section:key", folded for the look-up; nothing when the file holds no
  // value (which differs from an empty value).
  std::optional<std::string> value(std::string_view sectionColonKey) const;

 private:
  class Builder;
  IniFile() = default;
  explicit IniFile(_dictionary_* dict) : dict_(dict) {}
  _dictionary_* dict_ = nullptr;
};

// Folds A-Z to a-z; every other byte stays.
std::string FoldToLower(std::string_view text);

}  // namespace station
