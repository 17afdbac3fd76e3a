#include "Help.h"

namespace {
constexpr QSize kOuterSize{508, 459};
}

TForm4::TForm4(QWidget* owner) : QWidget(owner, Qt::Window) {
  setObjectName("Form4");
  setWindowTitle("Help");
  resize(kOuterSize);
}
