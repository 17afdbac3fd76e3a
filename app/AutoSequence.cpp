#include <QPushButton>
#include <QWidget>

#include "Memo.h"
#include "Unit1.h"

QWidget* TMainForm::BuildAutoTab() {
  dxTabSheetAuto = new QWidget;
  dxTabSheetAuto->setObjectName("dxTabSheetAuto");
  Memo2 = BuildFeedbackMemo("Memo2", dxTabSheetAuto, QRect(8, 272, 297, 164));
  Button6 = BuildImageButton("Button6", "Clear", dxTabSheetAuto, QRect(112, 440, 85, 24));
  connect(Button6, &QPushButton::clicked, this, &TMainForm::Button6Click);
  return dxTabSheetAuto;
}
