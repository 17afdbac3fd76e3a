#include <QPushButton>
#include <QWidget>

#include "Memo.h"
#include "Unit1.h"

QWidget* TMainForm::BuildCustomCodeTab() {
  dxTabSheet3 = new QWidget;
  dxTabSheet3->setObjectName("dxTabSheet3");
  Memo3 = BuildFeedbackMemo("Memo3", dxTabSheet3, QRect(8, 272, 297, 164));
  Button7 = BuildImageButton("Button7", "Clear", dxTabSheet3, QRect(112, 440, 85, 24));
  connect(Button7, &QPushButton::clicked, this, &TMainForm::Button7Click);
  return dxTabSheet3;
}

namespace {
// What a feedback memo holds after Clear (a blank and the full-width colon).
const QString kClearedFeedback = QStringLiteral("Feedback Message ：");
}  // namespace

void TMainForm::Button6Click() { Memo2->setLines({kClearedFeedback}); }
void TMainForm::Button1Click() { Memo1->setLines({kClearedFeedback}); }
void TMainForm::Button7Click() { Memo3->setLines({kClearedFeedback}); }
void TMainForm::Button13Click() { Memo4->setLines({kClearedFeedback}); }
void TMainForm::Button48Click() { Memo5->clearLines(); }
void TMainForm::Button49Click() { Memo6->clearLines(); }
