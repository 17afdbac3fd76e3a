// The Custom Code tab, the help window's keys, the Clear buttons, and the switcher's
// password and keyboard unlock on the System tab.
#include <QApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>

#include "Commands.h"
#include "Help.h"
#include "Memo.h"
#include "Password.h"
#include "Unit1.h"
#include "Widgets.h"

namespace {
// What a feedback memo holds after Clear (a blank and the full-width colon).
const QString kClearedFeedback = QStringLiteral("Feedback Message ：");

// Sees every key press of the program before any widget does, and lets it go on. Each
// press reaches its window first and only then the widgets, so looking at windows alone
// acts once per press: the same press bubbling up through the widgets is not seen again.
class HelpKeyFilter : public QObject {
 public:
  explicit HelpKeyFilter(QObject* parent) : QObject(parent) { qApp->installEventFilter(this); }
  ~HelpKeyFilter() override { qApp->removeEventFilter(this); }

 protected:
  bool eventFilter(QObject* receiver, QEvent* e) override {
    if (e->type() != QEvent::KeyPress || !receiver->isWindowType() || !MainForm) return false;
    const auto* key = static_cast<QKeyEvent*>(e);
    // A held key's repeats and combinations with modifiers are not the help keys.
    if (key->isAutoRepeat() || key->modifiers() != Qt::NoModifier) return false;
    // Esc hides a help window that exists; one never made is hidden already.
    if (key->key() == Qt::Key_F1)
      Form4->show();
    else if (key->key() == Qt::Key_Escape && Form4.made())
      Form4->hide();
    return false;
  }
};
}  // namespace

QWidget* TMainForm::BuildCustomCodeTab() {
  dxTabSheet3 = new QWidget;
  dxTabSheet3->setObjectName("dxTabSheet3");
  QWidget* page = dxTabSheet3;

  Label8 = new QLabel(QStringLiteral("Code："), page);
  Label8->setObjectName("Label8");
  Label8->setGeometry(8, 14, 44, 18);
  Edit2 = new QLineEdit(page);
  unlimitedLength(Edit2);
  Edit2->setObjectName("Edit2");
  Edit2->setGeometry(52, 12, 253, 22);

  GroupBox5 = new QGroupBox(page);
  GroupBox5->setObjectName("GroupBox5");
  GroupBox5->setGeometry(8, 42, 297, 40);
  RadioButton5 = new QRadioButton("ASCII", GroupBox5);
  RadioButton5->setObjectName("RadioButton5");
  RadioButton5->move(40, 12);
  RadioButton5->setChecked(true);
  RadioButton6 = new QRadioButton("HEX", GroupBox5);
  RadioButton6->setObjectName("RadioButton6");
  RadioButton6->move(180, 12);

  Button8 = BuildImageButton("Button8", "Send", page, QRect(8, 92, 144, 26));
  Button53 = BuildImageButton("Button53", "Help", page, QRect(161, 92, 144, 26));
  Button8->setDefault(true);
  connect(Button8, &QPushButton::clicked, this, &TMainForm::Button8Click);
  connect(Button53, &QPushButton::clicked, this, &TMainForm::Button53Click);
  // Send is the tab's default button: Enter in the code presses it.
  connect(Edit2, &QLineEdit::returnPressed, Button8, &QPushButton::click);

  Memo3 = BuildFeedbackMemo("Memo3", page, QRect(8, 128, 297, 278));
  Button7 = BuildImageButton("Button7", "Clear", page, QRect(112, 414, 85, 24));
  connect(Button7, &QPushButton::clicked, this, &TMainForm::Button7Click);
  nameFor(Edit2, "Code", "Sent as typed, or as HEX bytes");
  Label8->setBuddy(Edit2);
  nameFor(GroupBox5, "Code format");
  nameFor(Memo3, "Custom Code feedback");
  nameFor(Button7, "Clear", "Clears the Custom Code feedback");
  chainTabOrder({Edit2, RadioButton5, RadioButton6, Button8, Button53, Memo3, Button7});
  return page;
}

void TMainForm::Button8Click() {
  Busy = 1;
  ReplyTarget = 3;
  // Typed text goes out in UTF-8; for the switcher's ASCII commands those are the same bytes.
  const QByteArray code = Edit2->text().toUtf8();
  if (RadioButton6->isChecked())
    SendHexCode(*this, code);
  else
    SendCode(*this, code);
  Busy = 0;
}

void TMainForm::Button53Click() {
  if (Form4) Form4->show();
}

void TMainForm::InstallHelpKeys() {
  if (!HelpKeys) HelpKeys = new HelpKeyFilter(this);
}

void TMainForm::Button6Click() { Memo2->setLines({kClearedFeedback}); }
void TMainForm::Button1Click() { Memo1->setLines({kClearedFeedback}); }
void TMainForm::Button7Click() { Memo3->setLines({kClearedFeedback}); }
void TMainForm::Button13Click() { Memo4->setLines({kClearedFeedback}); }
void TMainForm::Button48Click() { Memo5->clearLines(); }
void TMainForm::Button49Click() { Memo6->clearLines(); }

void TMainForm::Button51Click() {
  if (!Form3) return;
  Busy = 1;
  Form3->exec();
  Busy = 0;
}

void TMainForm::Button52Click() {
  Busy = 1;
  ReplyTarget = 0;
  CodeUnlockKeyboard(*this);
  Busy = 0;
}
