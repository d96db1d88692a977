// The toolkit's strict integer conversion of an edit field's text.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace station {

// Optional leading blanks (spaces only; a tab or any other control byte
// makes the text invalid), then either decimal digits with an optional "+"
// or "-", or an unsigned hexadecimal number after "$", "x", "X", "0x" or
// "0X"; nothing may follow. A decimal value must lie in the signed 32-bit
// range; a hexadecimal one may use all 32 bits and is taken as that bit
// pattern ("$FFFFFFFF" gives -1). Anything longer is a conversion error.
std::optional<std::int32_t> TryStrToInt(std::string_view text);

// The conversion error, with the message "'%s' is not a valid integer value".
class EConvertError : public std::runtime_error {
 public:
  explicit EConvertError(const std::string& text);
};

// TryStrToInt, throwing EConvertError when the text is not an integer.
std::int32_t StrToInt(std::string_view text);

}  // namespace station
