#include "Update.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>

namespace {
constexpr QSize kUpdateSize{300, 80};
}

TForm5::TForm5(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setObjectName("Form5");
  setWindowTitle("Update");
  setModal(true);
  setFixedSize(kUpdateSize);
  Label1 = new QLabel("System is updating  Please wait ... ", this);
  Label1->setObjectName("Label1");
  Label1->setAlignment(Qt::AlignCenter);
  auto* box = new QHBoxLayout(this);
  box->addWidget(Label1);
}

void TForm5::CloseUpdate() {
  if (!isVisible()) return;
  Closing = true;
  done(QDialog::Accepted);
  Closing = false;
}

void TForm5::reject() {
  if (Closing) QDialog::reject();
}

void TForm5::closeEvent(QCloseEvent* e) {
  if (Closing)
    QDialog::closeEvent(e);
  else
    e->ignore();
}

void TForm5::showEvent(QShowEvent* e) {
  if (QWidget* owner = parentWidget()) {
    const QRect area = owner->frameGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
  QDialog::showEvent(e);
}
