// A diagnostic aid for demonstrations and remote checks: when the
// environment variable LUMIVAR_SNAPSHOT_DIR names a directory, the window
// saves, once a second, a picture of itself (lumivar.png) and its state as
// text (lumivar.txt: the three counters, the eight row texts and the open
// message boxes). Each file is replaced whole (QSaveFile: written aside,
// then renamed over the old one), so a reader never finds it missing or
// half-written. Without the variable nothing happens. The operator sees
// nothing of it.
#pragma once

#include <QString>

class TForm1;

namespace station {

inline constexpr const char* kSnapshotDirVar = "LUMIVAR_SNAPSHOT_DIR";

// The state text: "Total N", "Success N", "Fail N", then "Row N: text" for
// the eight rows, one a line, then "Box caption: text" for each message box
// that is open.
QString WindowStateText(const TForm1& form);

// Saves lumivar.png and lumivar.txt into `directory` now. False when either
// could not be written.
bool SaveWindowSnapshot(TForm1& form, const QString& directory);

// Starts the once-a-second snapshots when LUMIVAR_SNAPSHOT_DIR is set; the
// timer belongs to the form.
void StartWindowSnapshotsFromEnvironment(TForm1& form);

}  // namespace station
