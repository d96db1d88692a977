#include "e2e/x_display.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace station::test {

XvfbDisplay::XvfbDisplay() {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return;
  const std::string fd = std::to_string(pipeFds[1]);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::fcntl(pipeFds[1], F_SETFD, 0);  // the write end goes to Xvfb
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
    }
    ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-noreset", "-screen", "0", "1024x768x24",
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  if (pid < 0) {
    ::close(pipeFds[0]);
    return;
  }
  // Xvfb writes its display number once it takes connections.
  std::string number;
  pollfd p{pipeFds[0], POLLIN, 0};
  while (::poll(&p, 1, 30000) == 1) {
    char c;
    if (::read(pipeFds[0], &c, 1) != 1 || c == '\n') break;
    number.push_back(c);
  }
  ::close(pipeFds[0]);
  pid_ = pid;
  if (number.empty()) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return;
  }
  name_ = ":" + number;
  // Ready is when a client gets in (a loaded machine may take a while).
  for (int attempt = 0; attempt < 300; ++attempt) {
    if (::Display* display = XOpenDisplay(name_.c_str())) {
      XCloseDisplay(display);
      return;
    }
    ::usleep(100000);
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

XvfbDisplay::~XvfbDisplay() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
}

std::vector<XvfbDisplay::Window> XvfbDisplay::windows() const {
  std::vector<Window> found;
  ::Display* display = XOpenDisplay(name_.c_str());
  if (display == nullptr) return found;
  ::Window root = DefaultRootWindow(display);
  ::Window parent = 0;
  ::Window* children = nullptr;
  unsigned int count = 0;
  const Atom netWmName = XInternAtom(display, "_NET_WM_NAME", False);
  const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  if (XQueryTree(display, root, &root, &parent, &children, &count) != 0) {
    for (unsigned int i = 0; i < count; ++i) {
      XWindowAttributes attributes;
      if (XGetWindowAttributes(display, children[i], &attributes) == 0 || attributes.map_state != IsViewable) {
        continue;
      }
      Window window;
      Atom type = 0;
      int format = 0;
      unsigned long items = 0;
      unsigned long after = 0;
      unsigned char* data = nullptr;
      if (XGetWindowProperty(display, children[i], netWmName, 0, 4096, False, utf8, &type, &format, &items, &after,
                             &data) == Success &&
          data != nullptr) {
        window.title.assign(reinterpret_cast<const char*>(data), items);
        XFree(data);
      }
      XClassHint hint{};
      if (XGetClassHint(display, children[i], &hint) != 0) {
        if (hint.res_class != nullptr) window.wmClass = hint.res_class;
        XFree(hint.res_name);
        XFree(hint.res_class);
      }
      found.push_back(window);
    }
    if (children != nullptr) XFree(children);
  }
  XCloseDisplay(display);
  return found;
}

}  // namespace station::test
