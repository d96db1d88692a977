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

// The snapshots of one window into one directory. A directory that does not
// exist is made, with its parents, as `mkdir -p` makes it (the process's
// umask applies: whoever may read the station's other files may read these).
// While the snapshots cannot be written, one line on standard error says
// why: once, and once more only after snapshots were written again.
class WindowSnapshots {
 public:
  WindowSnapshots(TForm1& form, QString directory);

  // Saves lumivar.png and lumivar.txt now. False when either could not be
  // written.
  bool Save();

 private:
  TForm1& form_;
  const QString directory_;
  bool failureTold_ = false;
};

// Starts the once-a-second snapshots when LUMIVAR_SNAPSHOT_DIR is set; the
// timer belongs to the form.
void StartWindowSnapshotsFromEnvironment(TForm1& form);

}  // namespace station
