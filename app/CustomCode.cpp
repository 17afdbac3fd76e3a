#include <QWidget>

#include "Memo.h"
#include "Unit1.h"

QWidget* TMainForm::BuildCustomCodeTab() {
  dxTabSheet3 = new QWidget;
  dxTabSheet3->setObjectName("dxTabSheet3");
  Memo3 = BuildFeedbackMemo("Memo3", dxTabSheet3, QRect(8, 272, 297, 164));
  return dxTabSheet3;
}
