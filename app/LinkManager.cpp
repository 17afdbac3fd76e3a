// The link: mode, COM port and TCP/IP socket, their state on the System tab, the start-up
// search for a COM port, and the identification of the switcher.
#include <QAbstractEventDispatcher>
#include <QButtonGroup>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include "Com.h"
#include "Commands.h"
#include "Memo.h"
#include "Prompts.h"
#include "SessionLogLink.h"
#include "EngineFrontEnd.h"
#include "SwitcherEngine.h"
#include "Unit1.h"
#include "Update.h"
#include "ValidateIp.h"
#include "Widgets.h"

namespace {
constexpr int kBaud = 9600;
constexpr char kParity = 'N';
constexpr int kDataBits = 8;
constexpr int kStopBits = 1;
constexpr int kFirstComPort = 1;
constexpr int kLastComPort = 4;
constexpr int kComLine = 2;
constexpr int kSwitcherLine = 4;

bool isComPort(int n) { return n >= kFirstComPort && n <= kLastComPort; }
}  // namespace

void TMainForm::InstallIdleHandler() {
  if (IdleHandler) return;
  QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(thread());
  if (!dispatcher) return;
  IdleHandler = connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                        [this] { SyncComButtons(); });
}

void TMainForm::RemoveIdleHandler() {
  if (IdleHandler) disconnect(IdleHandler);
  IdleHandler = {};
}

void TMainForm::RadioCOMClick(QObject* sender) { SelectedPort = tagOf(sender); }

void TMainForm::RadioButton1Click() {
  StopReconnect();
  InstallIdleHandler();
  GroupBoxCom->setTitle("COM");
  Edit6->hide();
  Label27->hide();
  Label28->hide();
  for (QRadioButton* r : RadioCOM) r->show();
}

void TMainForm::RadioButton2Click() {
  StopReconnect();
  RemoveIdleHandler();
  GroupBoxCom->setTitle("TCP/IP");
  for (QRadioButton* r : RadioCOM) r->hide();
  Edit6->show();
  Label27->show();
  Label28->show();
  ButtonOpenCom->setEnabled(true);
  ButtonCloseCom->setEnabled(true);
}

void TMainForm::SyncComButtons() {
  if (isComPort(SelectedPort)) {
    RadioCOM[SelectedPort - 1]->setChecked(true);
  } else {
    if (QAbstractButton* checked = RadioCOMGroup->checkedButton()) {
      // An exclusive group never lets its last checked button go.
      RadioCOMGroup->setExclusive(false);
      checked->setChecked(false);
      RadioCOMGroup->setExclusive(true);
    }
  }
  const bool open = SelectedPort == OpenPort && isComPort(SelectedPort);
  ButtonOpenCom->setEnabled(!open && isComPort(SelectedPort));
  ButtonCloseCom->setEnabled(open);
}

void TMainForm::OpenComPortObject(int port) {
  // A configuration box inside Open runs a nested event loop: until Open returns, nothing
  // may write to the half-open port or start another open, so the object stays private.
  OpeningPort = true;
  auto* opening = new ComPort;
  const bool opened = opening->Open(this, static_cast<std::uint32_t>(port), kBaud, kParity,
                                  kDataBits, kStopBits, EV_RXCHAR);
  OpeningPort = false;
  if (opened) {
    SerialPort = opening;
    return;
  }
  opening->Close();
  SerialPort = nullptr;
}

void TMainForm::ShowCurrentCom() {
  MemoSysInfo->replaceLine(kComLine, OpenPort != 0
                                         ? QStringLiteral("Current com : com%1").arg(OpenPort)
                                         : QStringLiteral("Current com : null"));
}

void TMainForm::ButtonOpenComClick() {
  StopReconnect();
  if (RadioButton2->isChecked()) {
    if (!ValidateIp(Edit6->text())) {
      platform::showMessage(platform::applicationWindow(), "Error! Invalid IP!", "Error");
      return;
    }
    Edit6->setEnabled(false);
    ButtonOpenCom->setEnabled(false);
    // Open is reachable on a live or connecting socket after a mode round trip (entering
    // TCP/IP mode enables it); the address cannot have changed then, so the link stays.
    if (ClientSocket1->state() == QAbstractSocket::UnconnectedState)
      ClientSocket1->connectToHost(CanonicalIp(Edit6->text()), ClientSocketPort);
    TcpLinkWanted = true;
    TcpWasConnected = ClientSocket1->state() == QAbstractSocket::ConnectedState;
    ButtonCloseCom->setEnabled(true);
    return;
  }

  if (OpeningPort) return;  // an open is already under way (its box is shown)
  const bool closedOld = SerialPort != nullptr;
  if (SerialPort) {
    LogComLink(*this, LinkChange::Closed, OpenPort);
    SerialPort->Close();
    SerialPort = nullptr;
  }
  OpenComPortObject(SelectedPort);
  if (SerialPort) {
    SerialPort->StartMonitor();
    OpenPort = SelectedPort;
    LogComLink(*this, LinkChange::Opened, OpenPort);
    QThread::msleep(kLinkPause.count());
    ButtonUpdateClick();
    ShowCurrentCom();
  } else {
    // The old port is closed as well. Left in OpenPort, choosing its radio button again
    // would show it as open (Open disabled, Close enabled) with nothing open behind it.
    if (closedOld) {
      OpenPort = 0;
      ShowCurrentCom();
    }
    platform::showMessage(platform::applicationWindow(),
                          QStringLiteral("Cannot Open COM%1!").arg(SelectedPort), "Error",
                          platform::Icon::Stop);
  }
}

void TMainForm::ButtonCloseComClick() {
  StopReconnect();
  if (RadioButton2->isChecked()) {
    // What was handed over still goes out: a live link is closed after Qt has written what
    // it holds. Sends are refused from here on, also while those last bytes leave. With
    // nothing pending, or on a link not yet up, the disconnect event runs at once.
    SocketIsActive = false;
    if (ClientSocket1->state() == QAbstractSocket::ConnectedState)
      ClientSocket1->disconnectFromHost();
    if (ClientSocket1->state() != QAbstractSocket::ClosingState) ClientSocket1->abort();
    Label28->setText(QString());
    Edit6->setEnabled(true);
    ButtonOpenCom->setEnabled(true);
    ButtonCloseCom->setEnabled(false);
    return;
  }
  if (SerialPort) {
    LogComLink(*this, LinkChange::Closed, OpenPort);
    SerialPort->Close();
    SerialPort = nullptr;
    SelectedPort = 0;
    OpenPort = 0;
  }
  MemoSysInfo->replaceLine(kComLine, "Current com : null");
}

void TMainForm::ButtonUpdateClick() {
  if (RadioButton2->isChecked() && !socketActive()) {
    platform::showMessage(platform::applicationWindow(), "TCP/IP is not connected !", "Error");
    return;
  }
  if (RadioButton1->isChecked() && !SerialPort) {
    platform::showMessage(platform::applicationWindow(), "COM is not opened !", "Error");
    return;
  }
  // One identification at a time: a second modal run would nest inside the first.
  if (Identifying) return;
  // A status refresh of the last 500 ms would otherwise close the Update window early.
  Timer4->stop();
  MemoSysInfo->deleteLinesFrom(kSwitcherLine);
  MemoSysInfo->insertLine(kSwitcherLine, "Switcher :");
  ReplyTarget = 6;
  Timer->start();
  CodeQueryType(*this);
  QThread::msleep(kLinkPause.count());
  CodeQueryVersion(*this);
  QThread::msleep(kLinkPause.count());
  Timer1->start();
  Timer3->start();
  engine::SwitcherEngine* info = EngineOf(*this);
  if (info) info->identificationStarts();
  if (Form5) {
    Identifying = true;
    Form5->exec();
    Identifying = false;
  }
  if (info) info->identificationEnds();
  StatusWaitTimer->stop();
  emit identificationFinished();
}

void TMainForm::Timer1Timer() {
  Timer1->stop();
  // A running auto sequence owns Busy until it pauses or stops.
  if (AutoRunState() != 1) Busy = 0;
}

void TMainForm::Timer5Timer() {
  Timer5->stop();
  ProbeComPorts();
}

void TMainForm::ProbeComPorts() {
  // The operator may have opened a port in the second before the search: keep it rather
  // than replace (and lose) its ComPort.
  for (int n = kFirstComPort; n <= kLastComPort && !SerialPort && !OpeningPort; ++n) {
    OpenComPortObject(n);
    if (!SerialPort) continue;
    SerialPort->StartMonitor();
    SelectedPort = n;
    OpenPort = n;
    LogComLink(*this, LinkChange::Opened, n);
    QThread::msleep(kLinkPause.count());
    ButtonUpdateClick();
    break;
  }
  ShowCurrentCom();
  emit probeFinished();
}

void TMainForm::SerialMonitorEnded() {
  // The event may be older than a Close and a new Open: only a port whose thread has
  // really ended is let go.
  if (!SerialPort || !SerialPort->MonitorEnded()) return;
  const int lost = OpenPort;
  LogComLink(*this, LinkChange::Lost, lost);
  SerialPort->Close();
  SerialPort = nullptr;
  // The port stays chosen, so that Open is one click away once the device is back.
  OpenPort = 0;
  ShowCurrentCom();
  StartSerialReconnect(lost);
}

void TMainForm::ClientSocket1Lookup() { Label28->setText("Looking up ..."); }
void TMainForm::ClientSocket1Connecting() { Label28->setText("Connecting ..."); }

void TMainForm::ClientSocket1Connect() {
  SocketIsActive = true;
  Label28->setText("TCP/IP is connected!");
}

void TMainForm::ClientSocket1Disconnect() {
  SocketIsActive = false;
  Label28->setText("TCP/IP is disconnected!");
  Edit6->setEnabled(true);
  ButtonOpenCom->setEnabled(true);
  ButtonCloseCom->setEnabled(false);
}

void TMainForm::ClientSocket1Error() {
  // Lines that arrived just before the peer went away are still handled.
  if (ClientSocket1->bytesAvailable() > 0) ClientSocket1Read();
  // Nothing is shown: the close brings the disconnect event on an established link.
  // Deferred, because QAbstractSocket must not be aborted inside its own error signal.
  QTimer::singleShot(0, this, [this] {
    const auto s = ClientSocket1->state();
    if (s == QAbstractSocket::ConnectedState || s == QAbstractSocket::ClosingState)
      ClientSocket1->abort();
  });
}
