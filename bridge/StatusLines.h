#pragma once
// What the bridge says about its services: the service manager's status line always holds
// every service's latest line (client counts included), while the journal hears a service's
// client counts at most once a minute, so that page loads do not fill it.

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QTimer;

namespace bridge {

class StatusLines : public QObject {
  Q_OBJECT
 public:
  using Sink = std::function<void(const QString&)>;
  // journal: one line for the log; status: the whole status line, for sd_notify STATUS=.
  StatusLines(Sink journal, Sink status, QObject* parent = nullptr);

  // The link's part of the status line ("link ready"); not written to the journal here.
  void setLink(const QString& text);
  // A service's line. counts: it differs from the last only in its client count, so the
  // journal hears it at once when a minute has passed since the service's last line, else
  // once the minute is up (the latest then).
  void setService(const QString& service, const QString& text, bool counts);
  // The least time between two journal lines of one service about client counts.
  void setQuietMs(int ms) { quietMs = ms; }

 private:
  struct Service {
    QString text;        // the latest
    QString written;     // the last the journal heard
    QElapsedTimer since;  // since the journal heard it
    QTimer* timer = nullptr;
  };
  void publish();
  void write(const QString& name);

  Sink journal;
  Sink status;
  QString link;
  QStringList order;
  QHash<QString, Service> services;
  int quietMs = 60000;
};

}  // namespace bridge
