#include "Password.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "Commands.h"
#include "Prompts.h"
#include "Unit1.h"
#include "Widgets.h"

namespace {
constexpr QSize kClientSize{251, 133};
// Counted in the bytes the switcher receives, not in characters.
constexpr int kPasswordBytes = 8;
}  // namespace

TForm3::TForm3(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                         Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setObjectName("Form3");
  setWindowTitle("Password");
  setFixedSize(kClientSize);

  Label1 = new QLabel("Please Input Password (8 letters):", this);
  Label1->setObjectName("Label1");
  Label1->setGeometry(16, 16, 219, 18);
  Edit1 = new QLineEdit(this);
  Edit1->setObjectName("Edit1");
  Edit1->setGeometry(16, 42, 219, 22);
  BitBtn1 = new QPushButton("OK", this);
  BitBtn1->setObjectName("BitBtn1");
  BitBtn1->setGeometry(32, 90, 75, 25);
  BitBtn1->setDefault(true);
  connect(BitBtn1, &QPushButton::clicked, this, &TForm3::BitBtn1Click);
  // Esc presses Cancel: QDialog rejects on Esc.
  BitBtn2 = new QPushButton("Cancel", this);
  BitBtn2->setObjectName("BitBtn2");
  BitBtn2->setGeometry(144, 90, 75, 25);
  connect(BitBtn2, &QPushButton::clicked, this, &QDialog::reject);
  nameFor(Edit1, "Password", "8 letters");
  Label1->setBuddy(Edit1);
  chainTabOrder({Edit1, BitBtn1, BitBtn2});
}

void TForm3::FormShow() {
  Edit1->clear();
  Edit1->setFocus();
}

void TForm3::BitBtn1Click() {
  // The text goes out in UTF-8, so its length there is what must be eight.
  const QByteArray password = Edit1->text().toUtf8();
  auto* main = qobject_cast<TMainForm*>(parentWidget());  // the owner sends
  if (!main) return;
  if (password.size() == kPasswordBytes) {
    main->ReplyTarget = 0;
    CodeSetPassword(*main, password);
    accept();
    return;
  }
  platform::showMessage(this, "Invalid Password! Please input 8 letters!", "Error");
  Edit1->setFocus();
  Edit1->selectAll();
}

void TForm3::showEvent(QShowEvent* e) {
  if (QWidget* owner = parentWidget()) {
    const QRect area = owner->frameGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
  QDialog::showEvent(e);
  FormShow();
}
