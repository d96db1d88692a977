// What a job may do to the row it was started for: set the row's text and
// its colour, set the bar, and have its verdict counted. The window makes
// one for each job and hands it over when the job is created; the job calls
// it only through the window hand-over (window_handover.hpp), so every call
// runs on the window thread while the job waits. The window alone decides
// whether the row still belongs to the job (the counting always happens).
#pragma once

#include <string_view>

namespace station {

// The three colours a row's text is shown in.
enum class RowColour {
  WindowText,  // neutral
  Pass,        // blue
  Failure,     // red: a failure or a cancel
};

class JobRow {
 public:
  virtual ~JobRow() = default;
  // `text`: 8-bit bytes, as the UI texts are.
  virtual void SetText(std::string_view text, RowColour colour) = 0;
  virtual void SetBarPosition(int position) = 0;
  // A job's last act: counts one finished job (success: 0 or 1).
  virtual void RecordVerdict(int success) = 0;
};

}  // namespace station
