#pragma once
// The bridge's serial link: one device (a COM number's path or any device path, such as a
// /dev/serial/by-id/ name) at 9600 8N1 through ComPort and its monitor thread, whose byte
// events come here. A device that is missing or goes away is looked for again every
// kSerialRetry until it is back.

#include <QString>

#include <chrono>

#include "Feedback.h"
#include "SwitcherLink.h"

class ComPort;
class QTimer;

namespace engine {

constexpr std::chrono::milliseconds kSerialRetry{500};

class SerialLink final : public SwitcherLink {
  Q_OBJECT
 public:
  // `label` names the link in logs ("COM1 /dev/ttyS0"); empty: the device path.
  SerialLink(const QString& device, const QString& label, QObject* parent = nullptr);
  ~SerialLink() override;

  bool isUp() const override { return port != nullptr && !failing; }
  QString name() const override { return label; }
  void write(const QByteArray& command, Written done) override;
  void open() override;
  void close() override;

 protected:
  bool event(QEvent* e) override;

 private:
  void tryOpen();
  void drop(const QString& reason);

  const QString device;
  const QString label;
  ComPort* port = nullptr;
  bool wanted = false;
  bool failing = false;  // the monitor saw the device fail; its end follows
  bool toldMissing = false;
  feedback::SerialAssembler assembler;
  QTimer* retry;
};

}  // namespace engine
