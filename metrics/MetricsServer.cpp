#include "MetricsServer.h"

#include "Exposition.h"
#include "WebListener.h"

#include <QAbstractHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>

namespace metrics {

namespace {
constexpr char kSection[] = "Metrics";
}

class MetricsFront final : public QAbstractHttpServer {
 public:
  explicit MetricsFront(MetricsServer& server) : QAbstractHttpServer(&server), server(server) {}

 protected:
  bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override {
    web::Listener::requestSeen(socket);
    using S = QHttpServerResponder::StatusCode;
    const QString path = request.url().path();
    const bool get = request.method() == QHttpServerRequest::Method::Get;
    const bool head = request.method() == QHttpServerRequest::Method::Head;
    if (path != QLatin1String("/healthz") && path != QLatin1String("/readyz") && path != QLatin1String("/metrics")) {
      respond(request, socket, S::NotFound, "text/plain; charset=utf-8", "not found\n", head);
      return true;
    }
    if (!get && !head) {
      respond(request, socket, S::MethodNotAllowed, "text/plain; charset=utf-8", "GET only\n", false);
      return true;
    }
    if (path == QLatin1String("/healthz")) {
      // Answered from the event loop: a hung loop answers nothing.
      respond(request, socket, S::Ok, "text/plain; charset=utf-8", "ok\n", head);
    } else if (path == QLatin1String("/readyz")) {
      const QString why = server.host.notReady();
      if (why.isEmpty()) respond(request, socket, S::Ok, "text/plain; charset=utf-8", "ready\n", head);
      else respond(request, socket, S::ServiceUnavailable, "text/plain; charset=utf-8", why.toUtf8() + '\n', head);
    } else {
      respond(request, socket, S::Ok, kContentType, server.host.exposition(), head);
    }
    return true;
  }
  void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override {
    respond(request, socket, QHttpServerResponder::StatusCode::NotFound, "text/plain; charset=utf-8", "not found\n", false);
  }

 private:
  void respond(const QHttpServerRequest& request, QTcpSocket* socket, QHttpServerResponder::StatusCode status,
               const QByteArray& type, const QByteArray& body, bool headOnly) {
    {
      QHttpServerResponder r = makeResponder(request, socket);
      r.writeStatusLine(status);
      r.writeHeader("Content-Type", type);
      r.writeHeader("Cache-Control", "no-store");
      r.writeHeader("Content-Length", QByteArray::number(body.size()));
      r.writeHeader("Connection", "close");
      r.writeBody(headOnly ? QByteArray() : body);
    }
    // One request per connection: a scraper connects anew each time, and idle connections
    // kept open by others cannot take the few slots a monitoring system needs.
    socket->disconnectFromHost();
  }

  MetricsServer& server;
};

MetricsServer::MetricsServer(MetricsHost& h, QObject* parent) : QObject(parent), host(h) {}

MetricsServer::~MetricsServer() { stop(); }

QString MetricsServer::start(const gateway::Settings& s) {
  stop();
  if (!s.problem.isEmpty()) return s.problem;
  auto* l = new web::Listener(this);
  const QString error = l->start(s, kMaxConnections, kMaxPerPeer, QLatin1String(kSection));
  if (!error.isEmpty()) {
    delete l;
    return error;
  }
  listener = l;
  http = new MetricsFront(*this);
  http->bind(listener);
  return {};
}

void MetricsServer::stop() {
  delete http;
  http = nullptr;
  delete listener;
  listener = nullptr;
}

bool MetricsServer::isListening() const { return listener && listener->isListening(); }
quint16 MetricsServer::port() const { return listener ? listener->serverPort() : 0; }
QString MetricsServer::listenText() const {
  return listener ? web::HostPort(listener->serverAddress(), listener->serverPort()) : QString();
}

}  // namespace metrics
