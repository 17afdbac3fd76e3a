#include <QWidget>

#include "Memo.h"
#include "Unit1.h"

QWidget* TMainForm::BuildAutoTab() {
  dxTabSheetAuto = new QWidget;
  dxTabSheetAuto->setObjectName("dxTabSheetAuto");
  Memo2 = BuildFeedbackMemo("Memo2", dxTabSheetAuto, QRect(8, 272, 297, 164));
  return dxTabSheetAuto;
}
