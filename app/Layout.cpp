// The widgets of the main window: title band, the six tabs and the output grid.
#include <QAbstractButton>
#include <QButtonGroup>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QRadioButton>
#include <QTabBar>
#include <QTabWidget>

#include "Memo.h"
#include "Unit1.h"
#include "Widgets.h"

namespace {

constexpr int kGridColumns = 16;
constexpr int kGridLeft = 376;
constexpr int kGridColumnStep = 25;
constexpr QSize kOutPortSize{23, 17};
constexpr int kColumnHeadingTop = 60;
constexpr int kGridRowTops[kGridColumns] = {76,  107, 137, 168, 198, 228, 258, 289,
                                            321, 350, 381, 411, 443, 475, 508, 539};
constexpr QRect kPageControlRect{13, 59, 321, 473};
constexpr QRect kMinimiseRect{720, 15, 25, 25};
constexpr QRect kCloseRect{749, 15, 25, 25};

const char* const kFeedbackHeader = "Feedback Message :";

const char kStyleSheet[] = R"(
QTabWidget::pane { border: 1px solid #0b5f74; background: #eef6f8; border-radius: 4px; top: -1px; }
QTabBar { font-family: "WenQuanYi Micro Hei"; font-size: 9px; }
QTabBar::tab { background: #bfe3ec; color: #0b3f4c; padding: 4px 1px 4px 2px; border: 1px solid #0b5f74;
  border-bottom: none; border-top-left-radius: 3px; border-top-right-radius: 3px; margin: 0; }
QTabBar::tab:selected { background: #eef6f8; color: #000000; border-color: #084a5a; }
QTabBar::tab:!selected { margin-top: 2px; }
QTabBar::tab:hover:!selected { background: #d8f0f5; }
QGroupBox { border: 1px solid #7fb6c4; border-radius: 4px; margin-top: 8px; padding-top: 4px; color: #0b3f4c; }
QGroupBox::title { subcontrol-origin: margin; left: 8px; padding: 0 3px; }
QPushButton[imageButton="true"] { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #2bb7d6, stop:1 #128aa6);
  color: white; border: 1px solid #0b5f74; border-radius: 4px; padding: 2px 6px; font-weight: bold; }
QPushButton[imageButton="true"]:hover { background: #35c4e2; }
QPushButton[imageButton="true"]:pressed { background: #0f7690; }
QPushButton[imageButton="true"]:disabled { background: #b7d3da; color: #eef6f8; border-color: #8fb3bd; }
QPlainTextEdit { background: white; border: 1px solid #7fb6c4; border-radius: 3px; }
QLineEdit { border: 1px solid #7fb6c4; border-radius: 3px; padding: 1px 3px; background: white; }
QLineEdit:disabled { background: #e4eef1; }
)";

// The borderless window's own minimise and close buttons.
class TitleButton : public QAbstractButton {
 public:
  TitleButton(bool closeGlyph, QWidget* parent) : QAbstractButton(parent), isClose(closeGlyph) {
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::PointingHandCursor);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5);
    QColor fill = isClose ? QColor(214, 66, 56) : QColor(18, 120, 146);
    if (underMouse()) fill = fill.lighter(120);
    if (isDown()) fill = fill.darker(120);
    p.setBrush(fill);
    p.setPen(QPen(QColor(255, 255, 255, 160), 1));
    p.drawRoundedRect(r, 4, 4);
    p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap));
    const QPointF c = r.center();
    constexpr qreal k = 5;
    if (isClose) {
      p.drawLine(c + QPointF(-k, -k), c + QPointF(k, k));
      p.drawLine(c + QPointF(-k, k), c + QPointF(k, -k));
    } else {
      p.drawLine(c + QPointF(-k, k - 1), c + QPointF(k, k - 1));
    }
  }

 private:
  bool isClose;
};

TImageButton* imageButton(const char* name, const QString& caption, QWidget* parent, QRect place) {
  auto* b = new TImageButton(caption, parent);
  b->setObjectName(name);
  b->setGeometry(place);
  return b;
}

// Text colour by palette: a style sheet of its own on each of the grid's 32 headings would
// give each one a style sheet engine of its own.
void setTextColour(QWidget* w, const QColor& colour) {
  QPalette p = w->palette();
  p.setColor(QPalette::WindowText, colour);
  w->setPalette(p);
}

TMemo* memo(const char* name, QWidget* parent, QRect place, const QStringList& lines) {
  auto* m = new TMemo(parent);
  m->setObjectName(name);
  m->setGeometry(place);
  m->setLines(lines);
  return m;
}

}  // namespace

void TMainForm::BuildLayout() {
  QFont base = font();
  base.setPointSize(8);
  setFont(base);

  auto* title = new QLabel("Switcher system", this);
  title->setObjectName("LabelTitle");
  QFont tf = base;
  tf.setPointSize(16);
  tf.setBold(true);
  title->setFont(tf);
  setTextColour(title, Qt::white);
  title->move(22, 10);
  title->adjustSize();
  auto* subtitle = new QLabel("Audio / video matrix switcher console", this);
  subtitle->setObjectName("LabelSubtitle");
  setTextColour(subtitle, QColor(0xd8, 0xf3, 0xf9));
  subtitle->move(24, 34);
  subtitle->adjustSize();
  // Labels let presses through, so the title band drags the window like the background.
  title->setAttribute(Qt::WA_TransparentForMouseEvents);
  subtitle->setAttribute(Qt::WA_TransparentForMouseEvents);

  auto* minimise = new TitleButton(false, this);
  minimise->setObjectName("fcImageBtn226");
  minimise->setGeometry(kMinimiseRect);
  minimise->setToolTip("Minimise");
  nameFor(minimise, "Minimise");
  fcImageBtn226 = minimise;
  connect(minimise, &QAbstractButton::clicked, this, &TMainForm::Button47Click);
  auto* closer = new TitleButton(true, this);
  closer->setObjectName("fcImageBtn227");
  closer->setGeometry(kCloseRect);
  closer->setToolTip("Close");
  nameFor(closer, "Close", "Closes the console");
  fcImageBtn227 = closer;
  connect(closer, &QAbstractButton::clicked, this, &TMainForm::Button14Click);

  PageControl = new QTabWidget(this);
  PageControl->setObjectName("PageControl");
  PageControl->setStyleSheet(kStyleSheet);
  PageControl->setGeometry(kPageControlRect);
  PageControl->setTabPosition(QTabWidget::North);
  // All six tabs at once, captions whole: the compact tab font above makes them fit.
  PageControl->tabBar()->setUsesScrollButtons(false);
  PageControl->tabBar()->setElideMode(Qt::ElideNone);
  PageControl->tabBar()->setExpanding(false);
  nameFor(PageControl->tabBar(), "Tabs");
  PageControl->addTab(BuildSystemTab(), "System");
  // Each tab page is built in the file of its concern.
  PageControl->addTab(BuildAutoTab(), "Auto");
  PageControl->addTab(BuildKeyboardTab(), "Keyboard");
  PageControl->addTab(BuildCustomCodeTab(), "Custom Code");
  PageControl->addTab(BuildCodeGroupTab(), "Code Group");
  PageControl->addTab(BuildListTab(), "Send/Recieve Code List");
  PageControl->setCurrentIndex(0);

  BuildOutputGrid();
}

QWidget* TMainForm::BuildSystemTab() {
  TabSheetSys = new QWidget;
  TabSheetSys->setObjectName("TabSheetSys");
  QWidget* page = TabSheetSys;

  GroupBox2 = new QGroupBox("Mode", page);
  GroupBox2->setObjectName("GroupBox2");
  GroupBox2->setGeometry(8, 4, 297, 48);
  RadioButton1 = new QRadioButton("COM", GroupBox2);
  RadioButton1->setObjectName("RadioButton1");
  RadioButton1->move(24, 20);
  RadioButton2 = new QRadioButton("TCP/IP", GroupBox2);
  RadioButton2->setObjectName("RadioButton2");
  RadioButton2->move(150, 20);
  // Checking a mode button, by the operator or by FormCreate, runs its handler.
  connect(RadioButton1, &QRadioButton::toggled, this, [this](bool on) { if (on) RadioButton1Click(); });
  connect(RadioButton2, &QRadioButton::toggled, this, [this](bool on) { if (on) RadioButton2Click(); });

  GroupBoxCom = new QGroupBox("COM", page);
  GroupBoxCom->setObjectName("GroupBoxCom");
  GroupBoxCom->setGeometry(8, 58, 297, 76);
  RadioCOMGroup = new QButtonGroup(GroupBoxCom);
  for (int i = 0; i < 4; ++i) {
    auto* r = new QRadioButton(QStringLiteral("COM%1").arg(i + 1), GroupBoxCom);
    r->setObjectName(QStringLiteral("RadioCOM%1").arg(i + 1));
    r->move(16 + 70 * i, 30);
    setTag(r, i + 1);
    RadioCOMGroup->addButton(r);
    RadioCOM[i] = r;
    connect(r, &QRadioButton::clicked, this, [this, r] { RadioCOMClick(r); });
  }
  RadioCOM[0]->setChecked(true);
  Label27 = fixedLabel("Label27", "Switcher IP :", GroupBoxCom, QPoint(14, 26));
  Edit6 = new QLineEdit("0.0.0.0", GroupBoxCom);
  Edit6->setObjectName("Edit6");
  Edit6->setGeometry(96, 22, 150, 22);
  Label28 = new QLabel(GroupBoxCom);
  Label28->setObjectName("Label28");
  Label28->setGeometry(14, 50, 270, 18);
  QFont bold = Label28->font();
  bold.setBold(true);
  Label28->setFont(bold);
  Label28->setStyleSheet("color: #0b6e2a;");
  nameFor(Edit6, "Switcher IP", "Address of the switcher on the network");
  Label27->setBuddy(Edit6);

  ButtonOpenCom = imageButton("ButtonOpenCom", "Open", page, QRect(8, 142, 93, 26));
  ButtonCloseCom = imageButton("ButtonCloseCom", "Close", page, QRect(110, 142, 93, 26));
  ButtonUpdate = imageButton("ButtonUpdate", "Update", page, QRect(212, 142, 93, 26));
  Button51 = imageButton("Button51", "Set  Password", page, QRect(8, 176, 144, 26));
  Button52 = imageButton("Button52", "Unlock Keyboard", page, QRect(161, 176, 144, 26));
  connect(ButtonOpenCom, &QPushButton::clicked, this, &TMainForm::ButtonOpenComClick);
  connect(ButtonCloseCom, &QPushButton::clicked, this, &TMainForm::ButtonCloseComClick);
  connect(ButtonUpdate, &QPushButton::clicked, this, &TMainForm::ButtonUpdateClick);
  connect(Button51, &QPushButton::clicked, this, &TMainForm::Button51Click);
  connect(Button52, &QPushButton::clicked, this, &TMainForm::Button52Click);

  MemoSysInfo = memo("MemoSysInfo", page, QRect(8, 212, 297, 224),
                     {"System Information :  Ver 1.8.3 20050402", " ", "", "", ""});
  // Lines 0 to 4 are rewritten by number; a flood of identification replies must not
  // push them out.
  MemoSysInfo->setFixedHead(MemoSysInfo->lineCount());
  nameFor(MemoSysInfo, "System information");
  nameFor(Button51, "Set Password");
  // Beside the window's own Close: say which close this is.
  ButtonOpenCom->setAccessibleDescription("Opens the link to the switcher");
  ButtonCloseCom->setAccessibleDescription("Closes the link to the switcher");
  ButtonUpdate->setAccessibleDescription("Identifies the switcher and reads its routing");
  // The COM ports and the address share one place; only the current mode's are shown.
  chainTabOrder({RadioButton1, RadioButton2, RadioCOM[0], RadioCOM[1], RadioCOM[2], RadioCOM[3], Edit6,
                 ButtonOpenCom, ButtonCloseCom, ButtonUpdate, Button51, Button52, MemoSysInfo});
  return page;
}

QPushButton* TMainForm::BuildImageButton(const char* name, const QString& caption, QWidget* page,
                                         QRect place) {
  return imageButton(name, caption, page, place);
}

TMemo* TMainForm::BuildFeedbackMemo(const char* name, QWidget* page, QRect place) {
  return memo(name, page, place, {kFeedbackHeader, QString()});
}

QWidget* TMainForm::BuildListTab() {
  dxTabSheet5 = new QWidget;
  dxTabSheet5->setObjectName("dxTabSheet5");
  fixedLabel("LabelSendList", QStringLiteral("Send List ："), dxTabSheet5, QPoint(8, 8));
  fixedLabel("LabelRecieveList", QStringLiteral("Recieve List ："), dxTabSheet5, QPoint(160, 8));
  Memo5 = memo("Memo5", dxTabSheet5, QRect(8, 26, 145, 353), {});
  Memo6 = memo("Memo6", dxTabSheet5, QRect(160, 26, 145, 353), {});
  Button48 = imageButton("Button48", "Clear", dxTabSheet5, QRect(38, 388, 85, 26));
  Button49 = imageButton("Button49", "Clear", dxTabSheet5, QRect(190, 388, 85, 26));
  connect(Button48, &QPushButton::clicked, this, &TMainForm::Button48Click);
  connect(Button49, &QPushButton::clicked, this, &TMainForm::Button49Click);
  nameFor(Memo5, "Send list");
  nameFor(Memo6, "Receive list");
  nameFor(Button48, "Clear", "Clears the send list");
  nameFor(Button49, "Clear", "Clears the receive list");
  chainTabOrder({Memo5, Memo6, Button48, Button49});
  return dxTabSheet5;
}

void TMainForm::BuildOutputGrid() {
  QFont headingFont = font();
  headingFont.setBold(true);
  for (int c = 0; c < kGridColumns; ++c) {
    auto* h = new QLabel(QString::number(c + 1), this);
    h->setObjectName(QStringLiteral("LabelColumn%1").arg(c + 1));
    h->setFont(headingFont);
    setTextColour(h, Qt::white);
    h->setAlignment(Qt::AlignCenter);
    h->setGeometry(kGridLeft + kGridColumnStep * c, kColumnHeadingTop, kOutPortSize.width(), 14);
    h->setAttribute(Qt::WA_TransparentForMouseEvents);
  }
  for (int r = 0; r < kGridColumns; ++r) {
    auto* h = new QLabel(QString::number(r * kGridColumns + 1), this);
    h->setObjectName(QStringLiteral("LabelRow%1").arg(r + 1));
    h->setFont(headingFont);
    setTextColour(h, Qt::white);
    h->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    h->setGeometry(kGridLeft - 28, kGridRowTops[r], 24, kOutPortSize.height());
    h->setAttribute(Qt::WA_TransparentForMouseEvents);
  }
  const QString help = QStringLiteral("Enter shows the output's routing; arrow keys move in the grid");
  for (int n = 1; n <= kOutputCount; ++n) {
    auto* b = new TOutPortButton(n, this);
    b->setObjectName(QStringLiteral("OutPort%1").arg(n, 3, 10, QLatin1Char('0')));
    setTag(b, n);
    b->setCaption("0");
    b->setAccessibleDescription(help);
    const int r = (n - 1) / kGridColumns;
    const int c = (n - 1) % kGridColumns;
    b->setGeometry(QRect(QPoint(kGridLeft + kGridColumnStep * c, kGridRowTops[r]), kOutPortSize));
    connect(b, &QAbstractButton::clicked, this, [this, b] { OutPort001Click(b); });
    connect(b, &TOutPortButton::arrowKey, this, [this, b](int key) { OutPortArrowKey(b, key); });
    OutPort[n] = b;
  }
  // The grid's one Tab stop, after the tabs: left to right.
  OutPort[1]->setFocusPolicy(Qt::TabFocus);
}
