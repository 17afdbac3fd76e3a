#include <QPushButton>
#include <QWidget>

#include "Memo.h"
#include "Unit1.h"

QWidget* TMainForm::BuildCodeGroupTab() {
  dxTabSheet4 = new QWidget;
  dxTabSheet4->setObjectName("dxTabSheet4");
  Memo4 = BuildFeedbackMemo("Memo4", dxTabSheet4, QRect(8, 272, 297, 164));
  Button13 = BuildImageButton("Button13", "Clear", dxTabSheet4, QRect(112, 440, 85, 24));
  connect(Button13, &QPushButton::clicked, this, &TMainForm::Button13Click);
  return dxTabSheet4;
}
