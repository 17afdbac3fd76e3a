// The yardstick of the start-up benchmark: a bare Qt Widgets program with a frameless 800 by
// 600 window of 256 push buttons. Prints "painted" after its first frame, then "ready".
#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <cstdio>

namespace {
constexpr int kColumns = 16;

class Window : public QWidget {
 public:
  Window() : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint) {
    setFixedSize(800, 600);
    for (int n = 0; n < kColumns * kColumns; ++n) {
      auto* b = new QPushButton(QString::number(n + 1), this);
      b->setGeometry(376 + 25 * (n % kColumns), 76 + 30 * (n / kColumns), 23, 17);
    }
  }

 protected:
  void paintEvent(QPaintEvent* e) override {
    QWidget::paintEvent(e);
    if (painted) return;
    painted = true;
    QTimer::singleShot(0, this, [] {
      std::printf("painted\nready\n");
      std::fflush(stdout);
    });
  }

 private:
  bool painted = false;
};
}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  Window w;
  w.show();
  return app.exec();
}
