#include "device/failure_report.hpp"

namespace kestrin {

void FailureReport::report(const CommandOutcome& failed, FailureForm form) {
  keep(failed);
  const int code = static_cast<int>(failed.errorCode);
  switch (form) {
    case FailureForm::Inline:
      console_.print(" Error: %d", code);
      return;
    case FailureForm::EndOfLine:
      console_.print(" Error: %d\n", code);
      return;
    case FailureForm::WithSystemText:
      console_.print("Error: %d  ", code);
      PrintSystemMessage(console_, failed.errorCode);
      return;
  }
}

}  // namespace kestrin
