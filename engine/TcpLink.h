#pragma once
// The bridge's TCP/IP link: a client of the switcher's port, connected again after a loss
// with the console's back-off (1 s, doubling, at most 30 s; a link that stayed up 30 s
// starts again at 1 s).

#include <QElapsedTimer>
#include <QString>

#include <chrono>

#include "Feedback.h"
#include "SwitcherLink.h"

class QTcpSocket;
class QTimer;

namespace engine {

class TcpLink final : public SwitcherLink {
  Q_OBJECT
 public:
  TcpLink(const QString& host, quint16 port, QObject* parent = nullptr);

  bool isUp() const override;
  QString name() const override;
  void write(const QByteArray& command, Written done) override;
  void open() override;
  void close() override;
  // The pause before the next attempt while the link is down.
  std::chrono::seconds retryPause() const { return pause; }

 private:
  void attempt();
  void read();
  void gone(const QString& reason);

  const QString host;
  const quint16 port;
  QTcpSocket* socket;
  QTimer* retry;
  bool wanted = false;
  bool wasUp = false;
  std::chrono::seconds pause{0};
  QElapsedTimer upSince;
  feedback::TcpAssembler assembler;
};

}  // namespace engine
