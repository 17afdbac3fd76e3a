#include "Outport.h"

#include <QAbstractItemView>
#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>

#include "Names.h"
#include "Widgets.h"

namespace {
constexpr int kMaxInput = 256;
constexpr QSize kClientSize{218, 167};
constexpr int kPopupMargin = 32;  // room for the pop-up's frame and scroll bar
}  // namespace

TForm2::TForm2(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowStaysOnTopHint |
                         Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setObjectName("Form2");
  setWindowTitle("OutPort");
  setFixedSize(kClientSize);

  RadioGroup1 = new QGroupBox("Signal", this);
  RadioGroup1->setObjectName("RadioGroup1");
  RadioGroup1->setGeometry(16, 8, 185, 37);
  RadioGroup1Items = new QButtonGroup(this);
  auto* row = new QHBoxLayout(RadioGroup1);
  row->setContentsMargins(6, 0, 6, 0);
  const char* items[] = {"AV", "Video", "Audio"};
  for (int i = 0; i < 3; ++i) {
    auto* b = new QRadioButton(items[i], RadioGroup1);
    RadioGroup1Items->addButton(b, i);
    row->addWidget(b);
  }
  // Operator choices only: programmatic changes go through setItemIndex.
  connect(RadioGroup1Items, &QButtonGroup::idClicked, this, [this](int) { RadioGroup1Click(); });

  Label2 = new QLabel(QStringLiteral("Input Video Port ："), this);
  Label2->setObjectName("Label2");
  Label2->move(16, 64);
  ComboBox2 = new QComboBox(this);
  ComboBox2->setObjectName("ComboBox2");
  ComboBox2->setGeometry(120, 60, 81, 22);
  Label1 = new QLabel(QStringLiteral("Input Audio Port ："), this);
  Label1->setObjectName("Label1");
  Label1->move(16, 102);
  ComboBox1 = new QComboBox(this);
  ComboBox1->setObjectName("ComboBox1");
  ComboBox1->setGeometry(120, 98, 81, 22);
  for (int i = 0; i <= kMaxInput; ++i) {
    ComboBox1->addItem(QString::number(i));
    ComboBox2->addItem(QString::number(i));
  }
  ComboBox1->setCurrentIndex(0);
  ComboBox2->setCurrentIndex(0);
  connect(ComboBox1, QOverload<int>::of(&QComboBox::activated), this, [this](int) { ComboBox1Change(); });
  connect(ComboBox2, QOverload<int>::of(&QComboBox::activated), this, [this](int) { ComboBox1Change(); });

  LabelOutputName = new QLabel(this);
  LabelOutputName->setObjectName("LabelOutputName");
  LabelOutputName->setGeometry(16, 45, 185, 15);
  LabelOutputName->hide();

  BitBtn1 = new QPushButton("OK", this);
  BitBtn1->setObjectName("BitBtn1");
  BitBtn1->setGeometry(20, 132, 69, 22);
  BitBtn1->setEnabled(false);
  connect(BitBtn1, &QPushButton::clicked, this, &QDialog::accept);
  BitBtn2 = new QPushButton("Cancel", this);
  BitBtn2->setObjectName("BitBtn2");
  BitBtn2->setGeometry(124, 132, 69, 22);
  connect(BitBtn2, &QPushButton::clicked, this, &QDialog::reject);

  // Readers on Linux name a list by its label (the buddy relation) and read its value.
  nameFor(ComboBox2, "Input video port");
  nameFor(ComboBox1, "Input audio port");
  Label2->setBuddy(ComboBox2);
  Label1->setBuddy(ComboBox1);
  const QList<QAbstractButton*> signalItems = RadioGroup1Items->buttons();
  chainTabOrder({signalItems[0], signalItems[1], signalItems[2], ComboBox2, ComboBox1, BitBtn1, BitBtn2});
}

int TForm2::itemIndex() const { return RadioGroup1Items->checkedId(); }

void TForm2::setItemIndex(int index) {
  if (index == itemIndex()) return;
  if (index < 0 || index > 2) {
    RadioGroup1Items->setExclusive(false);
    if (QAbstractButton* b = RadioGroup1Items->checkedButton()) b->setChecked(false);
    RadioGroup1Items->setExclusive(true);
    return;
  }
  RadioGroup1Items->button(index)->setChecked(true);
  RadioGroup1Click();
}

void TForm2::RadioGroup1Click() {
  switch (itemIndex()) {
    case 0:
      Label2->setText(QStringLiteral("Input  A/V  Port ："));
      nameFor(ComboBox2, "Input A/V port");
      ComboBox1->setEnabled(false);
      ComboBox2->setEnabled(true);
      break;
    case 1:
      Label2->setText(QStringLiteral("Input Video Port ："));
      nameFor(ComboBox2, "Input video port");
      ComboBox1->setEnabled(false);
      ComboBox2->setEnabled(true);
      break;
    case 2:
      ComboBox2->setEnabled(false);
      ComboBox1->setEnabled(true);
      break;
    default:
      ComboBox1->setEnabled(false);
      ComboBox2->setEnabled(false);
      break;
  }
  Label2->adjustSize();
  BitBtn1->setEnabled(true);
}

void TForm2::ComboBox1Change() { BitBtn1->setEnabled(true); }

void TForm2::ResetForNextUse() {
  ComboBox1->setCurrentIndex(0);
  ComboBox1->setEnabled(false);
  ComboBox2->setCurrentIndex(0);
  ComboBox2->setEnabled(false);
  setItemIndex(-1);
  BitBtn1->setEnabled(false);
}

void TForm2::showEvent(QShowEvent* e) {
  if (QWidget* owner = parentWidget()) {
    const QRect area = owner->frameGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
  QDialog::showEvent(e);
}

void TForm2::setInputNames(const names::Names* names) {
  const QFontMetrics metrics(ComboBox1->font());
  int widest = 0;
  for (int i = 0; i <= kMaxInput; ++i) {
    const QString name = names ? names->name(names::Kind::Input, i) : QString();
    const QString text = name.isEmpty() ? QString::number(i) : QStringLiteral("%1  %2").arg(i).arg(name);
    ComboBox1->setItemText(i, text);
    ComboBox2->setItemText(i, text);
    widest = std::max(widest, metrics.horizontalAdvance(text));
  }
  // The lists keep their place in the dialog; their pop-ups open wide enough for the names.
  for (QComboBox* list : {ComboBox1, ComboBox2})
    list->view()->setMinimumWidth(names ? widest + kPopupMargin : 0);
}

void TForm2::setOutputName(const QString& name) {
  LabelOutputName->setText(
      LabelOutputName->fontMetrics().elidedText(name, Qt::ElideRight, LabelOutputName->width()));
  LabelOutputName->setAccessibleName(name);
  LabelOutputName->setVisible(!name.isEmpty());
}
