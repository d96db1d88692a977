// The daemon's lines on standard error ("flashsim: ..."): /dev/null in the
// background, useful in the foreground.
#pragma once

namespace flashsim {

// One line, cut at 500 bytes. Builds no string, so it also serves when
// memory has run out.
[[gnu::format(printf, 1, 2)]] void logLine(const char* format, ...);

}  // namespace flashsim
