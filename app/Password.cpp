#include "Password.h"

namespace {
constexpr QSize kClientSize{251, 133};
}

TForm3::TForm3(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                         Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setObjectName("Form3");
  setWindowTitle("Password");
  setFixedSize(kClientSize);
}
