// The bridge's TCP client to the switcher.
#include "TcpLink.h"

#include <QTcpSocket>
#include <QTimer>

#include "Backoff.h"

namespace engine {

TcpLink::TcpLink(const QString& host, quint16 port, QObject* parent)
    : SwitcherLink(parent), host(host), port(port), socket(new QTcpSocket(this)), retry(new QTimer(this)) {
  retry->setSingleShot(true);
  connect(retry, &QTimer::timeout, this, &TcpLink::attempt);
  connect(socket, &QTcpSocket::connected, this, [this] {
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    wasUp = true;
    upSince.start();
    assembler = {};
    emit opened();
  });
  connect(socket, &QTcpSocket::readyRead, this, &TcpLink::read);
  connect(socket, &QTcpSocket::disconnected, this, [this] { gone(QStringLiteral("the switcher closed the connection")); });
  connect(socket, &QTcpSocket::errorOccurred, this, [this] {
    // An established link's loss comes with `disconnected`.
    if (socket->state() == QAbstractSocket::ConnectedState) return;
    if (!wasUp) gone(socket->errorString());
  });
}

bool TcpLink::isUp() const { return socket->state() == QAbstractSocket::ConnectedState; }

QString TcpLink::name() const { return QStringLiteral("TCP %1:%2").arg(host).arg(port); }

void TcpLink::open() {
  wanted = true;
  pause = std::chrono::seconds{0};
  emit opening();
  attempt();
}

void TcpLink::close() {
  wanted = false;
  retry->stop();
  const bool up = isUp();
  socket->abort();
  if (up) emit closed();
}

void TcpLink::attempt() {
  if (!wanted || socket->state() != QAbstractSocket::UnconnectedState) return;
  wasUp = false;
  socket->connectToHost(host, port);
}

void TcpLink::read() {
  const QByteArray bytes = socket->readAll();
  if (bytes.isEmpty()) return;
  emit bytesReceived(bytes);
  assembler.feed(bytes, [this](const QByteArray& line) { emit lineReceived(line); });
}

void TcpLink::gone(const QString& reason) {
  if (!wanted) return;
  if (wasUp && upSince.isValid() && upSince.elapsed() >= link_policy::kStableLink.count()) pause = std::chrono::seconds{0};
  wasUp = false;
  pause = link_policy::NextRetryPause(pause);
  emit lost(reason);
  // Deferred: the socket must not be reused inside its own signal.
  QTimer::singleShot(0, this, [this] {
    socket->abort();
    if (wanted) retry->start(int(std::chrono::milliseconds(pause).count()));
  });
}

void TcpLink::write(const QByteArray& command, Written done) {
  // A switcher that stops reading must not make the bridge buffer without end: past this,
  // commands are dropped (their clients are told) until it reads again.
  constexpr qint64 kMaxUnsent = 1 << 20;
  if (!isUp() || socket->bytesToWrite() > kMaxUnsent) {
    if (done) done(false);
    return;
  }
  const bool ok = socket->write(command) == command.size();
  socket->flush();
  if (done) done(ok);
}

}  // namespace engine
