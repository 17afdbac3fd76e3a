#pragma once
// SW-P-08 on the console's server core (admission, limits and slow readers as for the
// gateway and panels), and on a serial line for control systems on RS-422 adapters. Also the
// section's own keys. QtCore and QtNetwork only.

#include <QObject>
#include <QString>

#include "GatewaySettings.h"
#include "Swp08Protocol.h"

class QSocketNotifier;

namespace gateway {
class ServerCore;
}

namespace swp08 {

constexpr char kSection[] = "SWP08";
constexpr int kDefaultPort = 8910;
constexpr int kDefaultMaxClients = 16;
constexpr int kDefaultBaud = 38400;

// [SWP08] keys beyond the server core's.
struct Extras {
  int matrix = 0;      // Matrix=0..15
  QString device;      // Device=: a serial device to serve as well; empty: none
  int baud = kDefaultBaud;
  QString problem;     // why a key could not be taken
};
Extras ReadExtras(const QString& fileName = QStringLiteral("Switcher.ini"));
// The core's settings of [SWP08]: MaxClients defaults to 16 here.
gateway::Settings ReadServerSettings(const QString& fileName = QStringLiteral("Switcher.ini"));

class Swp08Server : public QObject {
  Q_OBJECT
 public:
  Swp08Server(Swp08Host& host, Options options, QObject* parent = nullptr);
  ~Swp08Server() override;

  // As ServerCore::start, messages beginning "SW-P-08: ". Port 0 with a device: the serial
  // line only.
  QString start(const gateway::Settings& settings, const QString& device = {}, int baud = kDefaultBaud);
  void stop();
  gateway::ServerCore& core() const { return *serverCore; }
  Swp08Protocol& protocol() const { return *codec; }
  // "127.0.0.1:8910", "/dev/ttyUSB0 at 38400", or both.
  QString listenText() const;
  int clientCount() const;

 signals:
  void clientCountChanged(int count);

 private:
  QString openSerial(const QString& device, int baud);
  void closeSerial();
  void serialReadable();

  Swp08Protocol* codec;
  gateway::ServerCore* serverCore;
  quint64 nextId = 1;
  int serialFd = -1;
  QString serialPath;
  int serialBaud = 0;
  quint64 serialId = 0;
  QByteArray serialUnsent;
  QSocketNotifier* serialNotifier = nullptr;
  QSocketNotifier* serialWritable = nullptr;
};

}  // namespace swp08
