// Keyboard tab: the on-screen keypad that composes commands in Edit1.
#include <QCoreApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include "Commands.h"
#include "KeypadGrammar.h"
#include "Memo.h"
#include "PanelKeys.h"
#include "Prompts.h"
#include "Unit1.h"
#include "Widgets.h"

namespace {

using Family = TPanelKey::Family;

constexpr QRect kEdit1Rect{9, 14, 297, 32};
constexpr QRect kGroupBox1Rect{9, 56, 297, 209};
constexpr int kRowTops[5] = {88, 120, 152, 184, 216};
constexpr int kLeftColumns[3] = {14, 59, 104};
constexpr int kRightColumns[3] = {151, 204, 257};
constexpr QSize kLeftKeySize{41, 25};
constexpr int kRightKeyWidths[3] = {49, 49, 41};
constexpr int kDigitTagBase = '0';

const QColor kDigitFace(233, 237, 240);
const QColor kPunctFace(196, 206, 212);
const QColor kAvFace(232, 150, 28);
const QColor kVideoFace(40, 150, 78);
const QColor kAudioFace(44, 108, 204);
const QColor kFunctionFace(58, 72, 84);
const QColor kEnterFace(22, 128, 150);
const QColor kLockFace(190, 52, 44);
const QColor kCancelFace(214, 118, 34);
const QColor kDemoFace(138, 148, 155);

const char kGroupBoxStyle[] = R"(
QGroupBox#GroupBox1 { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #44525d, stop:1 #2a333a);
  border: 1px solid #0b3f4c; border-radius: 6px; margin-top: 0px; padding-top: 0px; }
QGroupBox#GroupBox1::title { subcontrol-origin: padding; subcontrol-position: top left; left: 8px; top: 6px;
  color: #d8f3f9; font-weight: bold; }
)";
const char kEdit1Style[] = R"(
QLineEdit#Edit1 { background: #0f2a1c; color: #8cff5a; border: 2px solid #2a333a; border-radius: 4px;
  padding: 2px 6px; selection-background-color: #8cff5a; selection-color: #0f2a1c; }
)";

}  // namespace

QWidget* TMainForm::BuildKeyboardTab() {
  dxTabSheet1 = new QWidget;
  dxTabSheet1->setObjectName("dxTabSheet1");
  QWidget* page = dxTabSheet1;

  Edit1 = new QLineEdit(page);
  unlimitedLength(Edit1);
  Edit1->setObjectName("Edit1");
  Edit1->setGeometry(kEdit1Rect);
  Edit1->setStyleSheet(kEdit1Style);
  QFont lcd("DejaVu Sans Mono");
  lcd.setStyleHint(QFont::Monospace);
  lcd.setPointSize(12);
  lcd.setBold(true);
  Edit1->setFont(lcd);
  Edit1->setAccessibleName("Command line");
  // ENTER is the tab's default button.
  connect(Edit1, &QLineEdit::returnPressed, this, [this] { Button17->click(); });

  GroupBox1 = new QGroupBox("KeyBoard", page);
  GroupBox1->setObjectName("GroupBox1");
  GroupBox1->setGeometry(kGroupBox1Rect);
  GroupBox1->setStyleSheet(kGroupBoxStyle);

  const QPoint inBox = -kGroupBox1Rect.topLeft();
  auto left = [&](const char* name, const QString& label, Family f, QColor face, int row, int col) {
    auto* k = new TPanelKey(label, f, face, page);
    k->setObjectName(name);
    k->setGeometry(QRect(QPoint(kLeftColumns[col], kRowTops[row]), kLeftKeySize));
    return k;
  };
  auto right = [&](const char* name, const QString& label, Family f, QColor face, int row, int col) {
    auto* k = new TPanelKey(label, f, face, GroupBox1);
    k->setObjectName(name);
    k->setGeometry(QRect(QPoint(kRightColumns[col], kRowTops[row]) + inBox,
                         QSize(kRightKeyWidths[col], kLeftKeySize.height())));
    return k;
  };
  auto typing = [this](QAbstractButton* k, int tag, void (TMainForm::*handler)(QObject*)) {
    setTag(k, tag);
    connect(k, &QAbstractButton::clicked, this, [this, k, handler] { (this->*handler)(k); });
  };

  Button3 = left("Button3", "AV", Family::Signal, kAvFace, 0, 0);
  Button15 = left("Button15", "VIDEO", Family::Signal, kVideoFace, 0, 1);
  Button16 = left("Button16", "AUDIO", Family::Signal, kAudioFace, 0, 2);
  typing(Button3, 'B', &TMainForm::Button3Click);
  typing(Button15, 'V', &TMainForm::Button3Click);
  typing(Button16, 'A', &TMainForm::Button3Click);
  for (int d = 0; d <= 9; ++d) {
    const int row = d == 0 ? 4 : 1 + (d - 1) / 3;
    const int col = d == 0 ? 0 : (d - 1) % 3;
    const QByteArray name = "BtnDig" + QByteArray::number(d);
    BtnDig[d] = left(name.constData(), QString::number(d), Family::Digit, kDigitFace, row, col);
    typing(BtnDig[d], kDigitTagBase + d, &TMainForm::BtnDig0Click);
  }
  Button31 = left("Button31", "/", Family::Digit, kPunctFace, 4, 1);
  Button32 = left("Button32", "END", Family::Digit, kPunctFace, 4, 2);
  typing(Button31, ',', &TMainForm::Button3Click);
  typing(Button32, '.', &TMainForm::Button3Click);
  // The labels of "/" and END are words, not single characters.
  for (QAbstractButton* k : {Button31, Button32}) {
    QFont f = k->font();
    f.setPointSize(Button31 == k ? 10 : 7);
    k->setFont(f);
  }

  Button17 = right("Button17", "ENTER", Family::Enter, kEnterFace, 0, 0);
  Button35 = right("Button35", "ALL", Family::Function, kFunctionFace, 0, 1);
  Button40 = right("Button40", "SAVE", Family::Function, kFunctionFace, 0, 2);
  Button29 = right("Button29", "PROGRAM", Family::Function, kFunctionFace, 1, 0);
  Button25 = right("Button25", "THROUGH", Family::Function, kFunctionFace, 1, 1);
  Button41 = right("Button41", "RECALL", Family::Function, kFunctionFace, 1, 2);
  Button21 = right("Button21", "UNDO", Family::Function, kFunctionFace, 2, 0);
  Button37 = right("Button37", "CLOSE", Family::Function, kFunctionFace, 2, 1);
  Button42 = right("Button42", "STATUS", Family::Function, kFunctionFace, 2, 2);
  Button36 = right("Button36", QStringLiteral("\u2190"), Family::Function, kFunctionFace, 3, 0);
  Button38 = right("Button38", "LOCK", Family::Warning, kLockFace, 3, 1);
  fcImageBtn268 = right("fcImageBtn268", "DEMO", Family::Inert, kDemoFace, 3, 2);
  Button33 = right("Button33", "CANCEL", Family::Warning, kCancelFace, 4, 0);
  Button34 = right("Button34", "<", Family::Function, kFunctionFace, 4, 1);
  Button39 = right("Button39", ">", Family::Function, kFunctionFace, 4, 2);
  // The arrow and back keys are read out by what they do, not by their glyphs.
  nameFor(Button36, "Backspace");
  nameFor(Button34, "Left");
  nameFor(Button39, "Right");
  for (QAbstractButton* k : {Button36, Button34, Button39}) {
    QFont f = k->font();
    f.setPointSize(11);
    k->setFont(f);
  }
  typing(Button29, 'P', &TMainForm::Button29Click);
  connect(Button17, &QAbstractButton::clicked, this, &TMainForm::Button17Click);
  connect(Button35, &QAbstractButton::clicked, this, &TMainForm::Button35Click);
  connect(Button40, &QAbstractButton::clicked, this, &TMainForm::Button40Click);
  connect(Button41, &QAbstractButton::clicked, this, &TMainForm::Button41Click);
  connect(Button25, &QAbstractButton::clicked, this, &TMainForm::Button25Click);
  connect(Button21, &QAbstractButton::clicked, this, &TMainForm::Button21Click);
  connect(Button37, &QAbstractButton::clicked, this, &TMainForm::Button37Click);
  connect(Button42, &QAbstractButton::clicked, this, &TMainForm::Button42Click);
  connect(Button33, &QAbstractButton::clicked, this, &TMainForm::Button33Click);
  connect(Button34, &QAbstractButton::clicked, this, &TMainForm::Button34Click);
  connect(Button39, &QAbstractButton::clicked, this, &TMainForm::Button39Click);
  connect(Button36, &QAbstractButton::clicked, this, &TMainForm::Button36Click);
  auto* lock = static_cast<TPanelKey*>(Button38);
  connect(lock, &TPanelKey::mouseDown, this, &TMainForm::Button38MouseDown);
  connect(lock, &TPanelKey::mouseUp, this, &TMainForm::Button38MouseUp);
  connect(Timer2, &QTimer::timeout, this, &TMainForm::Timer2Timer);

  Memo1 = BuildFeedbackMemo("Memo1", page, QRect(8, 272, 297, 134));
  Button1 = BuildImageButton("Button1", "Clear", page, QRect(112, 412, 85, 24));
  connect(Button1, &QPushButton::clicked, this, &TMainForm::Button1Click);
  nameFor(Memo1, "Keyboard feedback");
  nameFor(Button1, "Clear", "Clears the Keyboard feedback");
  // The keys never take the focus: Tab goes from the command line to the feedback.
  chainTabOrder({Edit1, Memo1, Button1});
  page->setFocusProxy(Edit1);
  return page;
}

namespace {

// A key press delivered to the command line as if typed there: inserted at the caret,
// replacing a selection, or moving the caret.
void pressKey(QLineEdit* edit, int key, const QString& text = {}) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
  QCoreApplication::sendEvent(edit, &press);
}

void typeCharacter(QLineEdit* edit, int tag) {
  // A printable ASCII character's Qt key code is its own code (upper case for letters).
  pressKey(edit, tag, QString(QChar(tag)));
}

}  // namespace

void TMainForm::Button3Click(QObject* sender) { typeCharacter(Edit1, tagOf(sender)); }
void TMainForm::Button29Click(QObject* sender) { typeCharacter(Edit1, tagOf(sender)); }

void TMainForm::BtnDig0Click(QObject* sender) {
  const int tag = tagOf(sender);
  if (KeypadMode == 0) {
    typeCharacter(Edit1, tag);
    return;
  }
  const int group = tag - kDigitTagBase;
  ReplyTarget = 2;
  if (KeypadMode == 2) {
    CodeSave(*this, group);
  } else {
    CodeRecall(*this, group);
  }
  KeypadMode = 0;
  Edit1->clear();
}

void TMainForm::Button40Click() {
  Edit1->setText("Save");
  KeypadMode = 2;
}

void TMainForm::Button41Click() {
  Edit1->setText("Recall");
  KeypadMode = 3;
}

void TMainForm::Button33Click() {
  Edit1->clear();
  KeypadMode = 0;
}

void TMainForm::Button17Click() {
  // Busy only for the send: grid clicks from the nested loop of a refusal box are ignored.
  // Typed text goes out in UTF-8, as custom codes do (the same bytes for the command language).
  Busy = 1;
  ReplyTarget = 2;
  SendCode(*this, Edit1->text().toUtf8());
  Edit1->clear();
  Busy = 0;
}

void TMainForm::Button21Click() {
  ReplyTarget = 2;
  CodeUndo(*this);
  Edit1->clear();
}

namespace {

// What ALL, STATUS, THROUGH and CLOSE do once the grammar has judged the line.
void carryOut(TMainForm& form, const keypad::Outcome& o) {
  switch (o.act) {
    case keypad::Act::Nothing: return;
    case keypad::Act::WriteAll: form.Edit1->setText("All"); return;
    case keypad::Act::Send:
      form.ReplyTarget = 2;
      SendCode(form, o.command);
      form.Edit1->clear();
      return;
    case keypad::Act::InvalidOrder:
      platform::showMessage(&form, "Invalid order! Please input again.", "error");
      // The next typed key replaces the rejected text.
      form.Edit1->setFocus();
      form.Edit1->selectAll();
      return;
    case keypad::Act::TooLarge:
      platform::showMessage(&form, o.error, "Error");
      return;
  }
}

}  // namespace

void TMainForm::Button35Click() { carryOut(*this, keypad::AllKey(Edit1->text())); }
void TMainForm::Button42Click() { carryOut(*this, keypad::StatusKey(Edit1->text())); }
void TMainForm::Button25Click() { carryOut(*this, keypad::ThroughKey(Edit1->text())); }
void TMainForm::Button37Click() { carryOut(*this, keypad::CloseKey(Edit1->text())); }

void TMainForm::Button34Click() { pressKey(Edit1, Qt::Key_Left); }
void TMainForm::Button39Click() { pressKey(Edit1, Qt::Key_Right); }
// Straight to the command line: the keys never take the focus, and a Backspace sent to
// whatever else has it could edit a field the operator cannot see.
void TMainForm::Button36Click() { pressKey(Edit1, Qt::Key_Backspace); }

void TMainForm::Button38MouseDown() { Timer2->start(); }
void TMainForm::Button38MouseUp() { Timer2->stop(); }

void TMainForm::Timer2Timer() {
  Timer2->stop();
  // A refused command has had its own box; claiming the lock as well would be false.
  if (CodeLockKeyboard(*this)) platform::showMessage(this, "Switcher's keyboard is locked!", "Message");
  // The box took the real release: draw the key released.
  Button38->setDown(false);
}
