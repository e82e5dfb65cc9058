// Build tool: writes the program's icon, drawn by the window's own logo code,
// as PNG files in the hicolor theme layout.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QString>

#include <cstdio>

#include "ui/toolkit/button_pictures.h"

// make_icon FOLDER SIZE...: FOLDER/<SIZE>x<SIZE>/apps/reelwright.png per SIZE.
int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: make_icon FOLDER SIZE...\n");
    return 2;
  }
  // QPixmap needs a GUI application; the caller picks a platform without a display.
  QGuiApplication app(argc, argv);
  const QString folder = QString::fromLocal8Bit(argv[1]);
  for (int i = 2; i < argc; ++i) {
    bool number = false;
    const int size = QString::fromLocal8Bit(argv[i]).toInt(&number);
    if (!number || size < 1) {
      std::fprintf(stderr, "make_icon: not a size: %s\n", argv[i]);
      return 2;
    }
    const QImage image = reelwright_logo(size).toImage();
    // A scaled screen would hand back more pixels than the theme folder promises.
    if (image.width() != size || image.height() != size) {
      std::fprintf(stderr, "make_icon: the logo came out %dx%d, not %dx%d\n", image.width(),
                   image.height(), size, size);
      return 1;
    }
    const QString apps = QStringLiteral("%1/%2x%2/apps").arg(folder).arg(size);
    const QString file = apps + QStringLiteral("/reelwright.png");
    if (!QDir().mkpath(apps) || !image.save(file, "PNG")) {
      std::fprintf(stderr, "make_icon: cannot write %s\n", qPrintable(file));
      return 1;
    }
  }
  return 0;
}
