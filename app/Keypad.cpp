#include <QPushButton>
#include <QWidget>

#include "Memo.h"
#include "Unit1.h"

QWidget* TMainForm::BuildKeyboardTab() {
  dxTabSheet1 = new QWidget;
  dxTabSheet1->setObjectName("dxTabSheet1");
  Memo1 = BuildFeedbackMemo("Memo1", dxTabSheet1, QRect(8, 272, 297, 164));
  Button1 = BuildImageButton("Button1", "Clear", dxTabSheet1, QRect(112, 440, 85, 24));
  connect(Button1, &QPushButton::clicked, this, &TMainForm::Button1Click);
  return dxTabSheet1;
}
