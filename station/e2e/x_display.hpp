// A private X server (Xvfb) for the tests that look at the station's windows
// as a window manager would see them, and what its top-level windows show.
// Kept apart from the Qt test code: the X headers define macros that clash
// with Qt's names.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace station::test {

class XvfbDisplay {
 public:
  // Starts Xvfb on a display number of its own choosing; running() is false
  // when it cannot be started (no Xvfb on PATH).
  XvfbDisplay();
  ~XvfbDisplay();
  XvfbDisplay(const XvfbDisplay&) = delete;
  XvfbDisplay& operator=(const XvfbDisplay&) = delete;

  bool running() const { return pid_ > 0; }
  const std::string& name() const { return name_; }  // ":N", for DISPLAY

  struct Window {
    std::string title;    // _NET_WM_NAME
    std::string wmClass;  // the class part of WM_CLASS
  };
  // The viewable top-level windows, bottom to top.
  std::vector<Window> windows() const;

 private:
  pid_t pid_ = -1;
  std::string name_;
};

}  // namespace station::test
