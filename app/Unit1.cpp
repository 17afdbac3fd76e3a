#include "Unit1.h"

#include <QAbstractEventDispatcher>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRadioButton>
#include <QScreen>
#include <QTcpSocket>
#include <QTimer>

#include "Com.h"
#include "Comthread.h"
#include "EngineFrontEnd.h"
#include "Help.h"
#include "Ini.h"
#include "MarkupDoc.h"
#include "Memo.h"
#include "Outport.h"
#include "Password.h"
#include "Prompts.h"
#include "SessionLogLink.h"
#include "Update.h"
#include "ValidateIp.h"

TMainForm* MainForm = nullptr;
SecondaryForm<TForm5> Form5;
SecondaryForm<TForm2> Form2;
SecondaryForm<TForm3> Form3;
SecondaryForm<TForm4> Form4;

namespace {
bool formsGoing = false;  // while the main window is being destroyed: no new children
}  // namespace

template <typename Form>
Form* SecondaryForm<Form>::get() const {
  if (!form && MainForm && !formsGoing) form = new Form(MainForm);
  return form;
}
template class SecondaryForm<TForm2>;
template class SecondaryForm<TForm3>;
template class SecondaryForm<TForm4>;
template class SecondaryForm<TForm5>;

namespace {
constexpr char kSwitcherIni[] = "Switcher.ini";
constexpr int kIpBufferSize = 16;  // keeps 15 characters
constexpr int kDragTolerance = 5;  // pixels before a press on the background becomes a drag
constexpr qint64 kSocketReadBuffer = 64 * 1024;  // bytes
constexpr QSize kWindowSize{800, 600};
const QColor kBackground(24, 168, 198);

QTimer* makeTimer(QObject* owner, const char* name, std::chrono::milliseconds interval, bool single) {
  auto* t = new QTimer(owner);
  t->setObjectName(name);
  t->setInterval(interval);
  t->setSingleShot(single);
  return t;
}
}  // namespace

void CreateForms(FormsMade when) {
  MainForm = new TMainForm;
  platform::setApplicationWindow(MainForm);
  if (when == FormsMade::OnFirstUse) return;
  Form5.make();
  Form2.make();
  Form3.make();
  Form4.make();
}

void DestroyForms() {
  // The secondary windows are children of the main window and go with it.
  TMainForm* main = MainForm;
  if (platform::applicationWindow() == main) platform::setApplicationWindow(nullptr);
  formsGoing = true;
  delete main;
  formsGoing = false;
  MainForm = nullptr;
  Form5.forget();
  Form2.forget();
  Form3.forget();
  Form4.forget();
}

TMainForm::TMainForm(QWidget* parent) : QWidget(parent, Qt::Window | Qt::FramelessWindowHint) {
  // 1. The window and its widgets.
  setObjectName("MainForm");
  setWindowTitle("Switcher system");
  setFixedSize(kWindowSize);
  setAutoFillBackground(false);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, kBackground);
  setPalette(pal);

  Timer = makeTimer(this, "Timer", kTimerInterval, true);
  AutoTimer = makeTimer(this, "AutoTimer", kAutoTimerInterval, false);
  Timer1 = makeTimer(this, "Timer1", kTimer1Interval, true);
  Timer2 = makeTimer(this, "Timer2", kTimer2Interval, true);
  Timer3 = makeTimer(this, "Timer3", kTimer3Interval, true);
  Timer4 = makeTimer(this, "Timer4", kTimer4Interval, true);
  Timer5 = makeTimer(this, "Timer5", kTimer5Interval, true);
  StatusWaitTimer = makeTimer(this, "StatusWaitTimer", kStatusWaitBound, true);
  connect(Timer, &QTimer::timeout, this, &TMainForm::TimerTimer);
  connect(Timer1, &QTimer::timeout, this, &TMainForm::Timer1Timer);
  connect(Timer3, &QTimer::timeout, this, &TMainForm::Timer3Timer);
  connect(Timer4, &QTimer::timeout, this, &TMainForm::Timer4Timer);
  connect(Timer5, &QTimer::timeout, this, &TMainForm::Timer5Timer);
  connect(StatusWaitTimer, &QTimer::timeout, this, &TMainForm::StatusWaitTimerTimer);

  const QByteArray portOverride = qgetenv(kTcpPortEnv);
  bool ok = false;
  const uint port = portOverride.toUInt(&ok);
  if (ok && port > 0 && port <= 0xFFFF) ClientSocketPort = static_cast<std::uint16_t>(port);
  ClientSocket1 = new QTcpSocket(this);
  ClientSocket1->setObjectName("ClientSocket1");
  // While a box is shown from inside the read handler, Qt reads on without telling it;
  // a bounded buffer lets TCP hold a flooding peer back instead of memory growing.
  ClientSocket1->setReadBufferSize(kSocketReadBuffer);
  connect(ClientSocket1, &QAbstractSocket::stateChanged, this,
          [this](QAbstractSocket::SocketState s) {
            if (s == QAbstractSocket::HostLookupState) ClientSocket1Lookup();
            if (s == QAbstractSocket::ConnectingState) ClientSocket1Connecting();
          });
  connect(ClientSocket1, &QAbstractSocket::connected, this, &TMainForm::ClientSocket1Connect);
  connect(ClientSocket1, &QAbstractSocket::disconnected, this, &TMainForm::ClientSocket1Disconnect);
  connect(ClientSocket1, &QAbstractSocket::errorOccurred, this, &TMainForm::ClientSocket1Error);
  connect(ClientSocket1, &QIODevice::readyRead, this, &TMainForm::ClientSocket1Read);

  BuildLayout();

  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }

  // 2. The members start at their declared values.
  // 3. The code group document, empty until a code group file is loaded.
  CodeDoc = std::make_unique<MarkupDoc>();
  CodeDoc->AssignText();
  // 4. RootNode and CurrentNode name no node until the tree is built.
  // 5, 6. The code group file last used, or the default tree.
  CodeFileName = StoredCodeFilePath();  // also where the file dialogs open
  // The console must start: a file that cannot be read gives the default tree, and its
  // path stays in Switch.ini so that the next start tries it again.
  const QString failure = LoadCodeTree(CodeFileName);
  if (!CodeFileName.isEmpty() && !failure.isEmpty())
    Memo4->appendLine(QStringLiteral("Cannot read the code group file %1: %2.").arg(CodeFileName, failure));
  // 7. F1 and Esc for the help window, in every window of the program.
  InstallHelpKeys();
  // Before FormCreate, whose Open may already need it.
  SetupEngine();
  SetupReconnect();
  SetupSessionLog();
  SetupRouting();
  SetupServices();
  // 8.
  FormCreate();
}

TMainForm::~TMainForm() {
  RemoveIdleHandler();
  if (SerialPort) {
    SerialPort->Close();
    SerialPort = nullptr;
  }
  CodeDoc.reset();
  // No socket events into a half-destroyed window.
  ClientSocket1->disconnect(this);
}

void TMainForm::FormCreate() {
  Edit6->setText(QString::fromLatin1(
      platform::GetPrivateProfileString("TCP", "IP", "0.0.0.0", kIpBufferSize, kSwitcherIni)));
  if (ReadSwitcherBool(*this, "TCP", "Connect", false)) {
    RadioButton2->setChecked(true);  // runs RadioButton2Click
    ButtonOpenComClick();
  } else {
    RadioButton1->setChecked(true);  // runs RadioButton1Click
    Timer5->start();
  }
}

bool TMainForm::FormClose() {
  // Yes followed by a cancelled or failed save keeps the window: no edit is lost unless the
  // operator said No.
  if (!AskToSaveCodeTree(false)) return false;
  platform::WritePrivateProfileString("TCP", "Connect", RadioButton2->isChecked() ? "1" : "0",
                                      kSwitcherIni);
  if (ValidateIp(Edit6->text()))
    platform::WritePrivateProfileString("TCP", "IP", Edit6->text().toLatin1(), kSwitcherIni);
  return true;
}

void TMainForm::closeEvent(QCloseEvent* e) {
  if (FormClose())
    e->accept();
  else
    e->ignore();
}

void TMainForm::Button14Click() { close(); }
void TMainForm::Button47Click() { showMinimized(); }

bool TMainForm::event(QEvent* e) {
  if (e->type() == WM_SERIALBYTE) {
    SerialFeedback(static_cast<SerialByteEvent*>(e)->byte);
    return true;
  }
  if (e->type() == WM_SERIALFAILING) {
    SerialLinkFailing(*this);
    return true;
  }
  if (e->type() == WM_SERIALENDED) {
    SerialMonitorEnded();
    return true;
  }
  return QWidget::event(e);
}

// ---- LinkContext ----

bool TMainForm::tcpMode() const { return RadioButton2->isChecked(); }
bool TMainForm::socketActive() const { return SocketIsActive; }
void TMainForm::socketSend(const QByteArray& bytes) {
  if (ClientSocket1->state() != QAbstractSocket::ConnectedState) return;
  ClientSocket1->write(bytes);
  // Out to the system at once: the pauses between sends must reach the wire, and nothing
  // may wait in Qt's buffer while this thread is blocked.
  ClientSocket1->flush();
}
bool TMainForm::serialOpen() const { return SerialPort != nullptr; }
bool TMainForm::serialWriteByte(std::uint8_t byte) { return SerialPort && SerialPort->WriteByte(byte); }
void TMainForm::appendSendLog(const QByteArray& line) {
  Memo5->appendLine(LinkBytesText(line), LogSent(*this, line));
}
void TMainForm::appendHexSendLog(const QByteArray& line, const QByteArray& bytes) {
  // The list shows the code as typed; the log what went out.
  Memo5->appendLine(LinkBytesText(line), LogSent(*this, bytes, "(HEX)"));
}
QWidget* TMainForm::mainWindow() const { return const_cast<TMainForm*>(this); }

// ---- the borderless window: background and dragging ----

void TMainForm::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.fillRect(rect(), kBackground);
  // The title band.
  QLinearGradient band(0, 0, 0, 52);
  band.setColorAt(0, QColor(14, 112, 138));
  band.setColorAt(1, QColor(20, 146, 174));
  p.fillRect(QRect(0, 0, width(), 52), band);
  p.setPen(QColor(255, 255, 255, 70));
  p.drawLine(0, 52, width(), 52);
  // The panel behind the output grid.
  QPainterPath grid;
  grid.addRoundedRect(QRectF(342.5, 56.5, 446, 508), 6, 6);
  p.fillPath(grid, QColor(10, 96, 120, 90));
  p.setPen(QColor(255, 255, 255, 90));
  p.drawPath(grid);
  // Frame of the whole window.
  p.setPen(QColor(8, 70, 88));
  p.setBrush(Qt::NoBrush);
  p.drawRect(rect().adjusted(0, 0, -1, -1));
}

void TMainForm::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return QWidget::mousePressEvent(e);
  DragPressed = true;
  Dragging = false;
  DragStart = e->globalPosition().toPoint();
  DragWindowStart = pos();
}

void TMainForm::mouseMoveEvent(QMouseEvent* e) {
  if (!DragPressed) return QWidget::mouseMoveEvent(e);
  const QPoint delta = e->globalPosition().toPoint() - DragStart;
  if (!Dragging && delta.manhattanLength() < kDragTolerance) return;
  Dragging = true;
  move(DragWindowStart + delta);
}

void TMainForm::mouseReleaseEvent(QMouseEvent* e) {
  DragPressed = false;
  Dragging = false;
  QWidget::mouseReleaseEvent(e);
}
