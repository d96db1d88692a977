// screen_match SCREEN WINDOW [ALLOWED]: does the screen (a picture of the
// whole display, SCREEN) show the window as its own picture of itself
// (WINDOW) has it, and nothing else?
//
// The window is where the screen differs from its background, the colour of
// the screen's bottom right corner: that box must have the size of WINDOW and
// its pixels (at most ALLOWED of them may differ, default 0), and everything
// outside it must be background. One line says what was found.
// Exit status: 0 it does; 1 it does not; 2 wrong usage or a picture that
// cannot be read.
#include <QImage>
#include <QRect>
#include <QString>

#include <cstdio>

namespace {

int Usage() {
  std::fputs("usage: screen_match SCREEN.png WINDOW.png [ALLOWED]\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) return Usage();
  long long allowed = 0;
  if (argc == 4) {
    bool ok = false;
    allowed = QString::fromLocal8Bit(argv[3]).toLongLong(&ok);
    if (!ok || allowed < 0) return Usage();
  }
  const QImage screen = QImage(QString::fromLocal8Bit(argv[1])).convertToFormat(QImage::Format_RGB32);
  const QImage window = QImage(QString::fromLocal8Bit(argv[2])).convertToFormat(QImage::Format_RGB32);
  if (screen.isNull() || window.isNull()) {
    std::fprintf(stderr, "screen_match: cannot read %s\n", screen.isNull() ? argv[1] : argv[2]);
    return 2;
  }

  const QRgb background = screen.pixel(screen.width() - 1, screen.height() - 1);
  QRect box;
  for (int y = 0; y < screen.height(); ++y) {
    const auto* line = reinterpret_cast<const QRgb*>(screen.constScanLine(y));
    for (int x = 0; x < screen.width(); ++x) {
      if (line[x] != background) box |= QRect(x, y, 1, 1);
    }
  }
  std::printf("window %dx%d; on the %dx%d screen ", window.width(), window.height(), screen.width(), screen.height());
  if (box.isEmpty()) {
    std::puts("nothing but background");
    return 1;
  }
  std::printf("a box of %dx%d at %d,%d", box.width(), box.height(), box.x(), box.y());
  if (box.size() != window.size()) {
    std::puts(": not the window's size");
    return 1;
  }
  long long differing = 0;
  for (int y = 0; y < window.height(); ++y) {
    const auto* shown = reinterpret_cast<const QRgb*>(screen.constScanLine(box.y() + y)) + box.x();
    const auto* own = reinterpret_cast<const QRgb*>(window.constScanLine(y));
    for (int x = 0; x < window.width(); ++x) differing += (shown[x] != own[x]) ? 1 : 0;
  }
  std::printf(", %lld pixels differ from the window's own, the rest is plain\n", differing);
  return differing <= allowed ? 0 : 1;
}
