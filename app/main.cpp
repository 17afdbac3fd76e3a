// Program entry of switcher-console.
#include <QApplication>
#include <QWidget>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      std::printf("Usage: switcher-console [options]\n"
                  "Operator console for audio/video matrix switchers (serial or TCP/IP).\n\n"
                  "  -h, --help     show this help and exit\n"
                  "  --version      show the version and exit\n");
      return 0;
    }
    if (!std::strcmp(argv[i], "--version")) {
      std::printf("switcher-console %s\n", SC_VERSION);
      return 0;
    }
  }
  QApplication app(argc, argv);
  QWidget w;
  w.setWindowTitle("Switcher system");
  w.resize(800, 600);
  w.show();
  return app.exec();
}
