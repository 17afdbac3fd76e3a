// Links that come back. A serial device that went away (an unplugged USB adapter) is opened
// again as soon as its path is a device once more; a TCP/IP switcher that went away is dialled
// again after a growing pause. Either way the switcher is identified again, so the grid is
// current. The operator's Open, Close or change of mode ends the attempts.
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <sys/stat.h>

#include "Backoff.h"
#include "Com.h"
#include "Ini.h"
#include "Commands.h"
#include "SessionLogLink.h"
#include "Unit1.h"
#include "ValidateIp.h"

namespace {
constexpr std::chrono::milliseconds kSerialRetryInterval{500};

// Only a character device is worth an open: anything else would fail its configuration and
// show a box on every attempt.
bool isDevice(const QString& path) {
  struct stat st {};
  return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISCHR(st.st_mode);
}
}  // namespace

void TMainForm::SetupReconnect() {
  ReconnectEnabled = ReadSwitcherBool(*this, "Link", "Reconnect", true);
  SerialRetryTimer = new QTimer(this);
  SerialRetryTimer->setObjectName("SerialRetryTimer");
  SerialRetryTimer->setInterval(kSerialRetryInterval);
  connect(SerialRetryTimer, &QTimer::timeout, this, &TMainForm::SerialRetryTimerTimer);
  TcpRetryTimer = new QTimer(this);
  TcpRetryTimer->setObjectName("TcpRetryTimer");
  TcpRetryTimer->setSingleShot(true);
  connect(TcpRetryTimer, &QTimer::timeout, this, &TMainForm::TcpRetryTimerTimer);
  connect(ClientSocket1, &QAbstractSocket::connected, this, &TMainForm::TcpLinkUp);
  // After the socket's own handlers, and outside its signal.
  connect(ClientSocket1, &QAbstractSocket::stateChanged, this,
          [this](QAbstractSocket::SocketState s) {
            if (s == QAbstractSocket::UnconnectedState)
              QTimer::singleShot(0, this, &TMainForm::TcpLinkClosed);
          });
}

void TMainForm::StopReconnect() {
  SerialRetryTimer->stop();
  LostPort = 0;
  LostDevice.clear();
  TcpRetryTimer->stop();
  TcpLinkWanted = false;
  TcpWasConnected = false;
  TcpRetryAttempt = 0;
  TcpRetryPause = std::chrono::seconds{0};
  TcpUpSince.invalidate();
}

void TMainForm::StartSerialReconnect(int port) {
  if (!ReconnectEnabled || port < 1 || port > 4) return;
  LostPort = port;
  LostDevice = platform::comDevicePath(port);
  SerialRetryTimer->start();
}

void TMainForm::SerialRetryTimerTimer() {
  if (!RadioButton1->isChecked() || SerialPort) {
    StopReconnect();
    return;
  }
  // Not while a box of an open or the identification runs its own loop.
  if (OpeningPort || Identifying || !isDevice(LostDevice)) return;
  const int port = LostPort;
  OpenComPortObject(port);
  if (!SerialPort) return;  // not ready yet (permissions, another program): next time
  SerialRetryTimer->stop();
  LostPort = 0;
  LostDevice.clear();
  SerialPort->StartMonitor();
  SelectedPort = port;
  OpenPort = port;
  LogComLink(*this, LinkChange::Reconnected, port);
  QThread::msleep(kLinkPause.count());
  IdentifyRelinkedSwitcher();
  ShowCurrentCom();
}

void TMainForm::IdentifyRelinkedSwitcher() {
  // An auto run owns the replies and the Auto tab: the Update window would block Pause and
  // take its replies for the rest of the run. The grid is refreshed and the run goes on.
  if (AutoRunState() != 0) {
    ReplyTarget = 1;
    CodeQueryAllStatus(*this);
    return;
  }
  ButtonUpdateClick();
}

void TMainForm::TcpLinkUp() {
  TcpWasConnected = true;
  TcpUpSince.start();
  if (TcpRetryAttempt == 0) return;
  TcpRetryAttempt = 0;
  // Identified outside the socket's signal: the Update window runs a loop of its own.
  QTimer::singleShot(0, this, [this] {
    if (socketActive() && !Identifying) IdentifyRelinkedSwitcher();
  });
}

void TMainForm::TcpLinkClosed() {
  if (!ReconnectEnabled || !TcpLinkWanted || !TcpWasConnected || !RadioButton2->isChecked())
    return;
  if (TcpRetryTimer->isActive() ||
      ClientSocket1->state() != QAbstractSocket::UnconnectedState)
    return;
  // A link that stayed up a while starts again from the shortest pause; one that drops as
  // soon as it is up (a peer that accepts and closes) keeps the pauses growing.
  if (TcpUpSince.isValid() && TcpUpSince.elapsed() >= link_policy::kStableLink.count())
    TcpRetryPause = std::chrono::seconds{0};
  TcpUpSince.invalidate();
  TcpRetryPause = link_policy::NextRetryPause(TcpRetryPause);
  TcpRetryTimer->start(TcpRetryPause);
  // The address stays as it was and Close stays ready to end the attempts.
  Edit6->setEnabled(false);
  ButtonOpenCom->setEnabled(false);
  ButtonCloseCom->setEnabled(true);
  Label28->setText(QStringLiteral("Link lost: next attempt in %1 s").arg(TcpRetryPause.count()));
}

void TMainForm::TcpRetryTimerTimer() {
  if (!TcpLinkWanted || !RadioButton2->isChecked() ||
      ClientSocket1->state() != QAbstractSocket::UnconnectedState)
    return;
  ++TcpRetryAttempt;
  ClientSocket1->connectToHost(CanonicalIp(Edit6->text()), ClientSocketPort);
  // After connectToHost, whose state handlers write their own texts.
  if (ClientSocket1->state() != QAbstractSocket::ConnectedState)
    Label28->setText(QStringLiteral("Reconnecting to %1 (attempt %2) ...")
                         .arg(CanonicalIp(Edit6->text()))
                         .arg(TcpRetryAttempt));
}
