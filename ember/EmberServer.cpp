#include "EmberServer.h"

#include <QPointer>

#include "Ini.h"
#include "ServerCore.h"

namespace ember {

namespace {

// One TCP consumer: its bytes to the shared provider.
class Session final : public gateway::ClientProtocol {
 public:
  Session(EmberProvider& provider, gateway::ClientHandle& client, quint64 id) : provider(&provider), id(id) {
    provider.join(id, client.label(), [&client](const QByteArray& bytes) { return client.send(bytes); });
  }
  ~Session() override {
    if (provider) provider->leave(id);
  }
  void bytesIn(gateway::ClientHandle&, const char* data, int size) override {
    if (provider) provider->bytesIn(id, data, size);
  }
  // A consumer that half-closed after a connection request still hears its answer.
  bool outstanding() const override { return provider && provider->waiting(id); }

 private:
  QPointer<EmberProvider> provider;
  const quint64 id;
};

}  // namespace

gateway::Settings ReadServerSettings(const QString& fileName) {
  gateway::Settings s = gateway::ReadSettings(fileName, kSection);
  s.maxClients = platform::GetPrivateProfileInt(kSection, "MaxClients", kDefaultMaxClients, fileName);
  return s;
}

EmberServer::EmberServer(EmberHost& host, Options options, QObject* parent)
    : QObject(parent), tree(new EmberProvider(host, options, this)) {
  serverCore = new gateway::ServerCore(
      QStringLiteral("Ember+"),
      [this](gateway::ClientHandle& client) -> std::unique_ptr<gateway::ClientProtocol> {
        return std::make_unique<Session>(*tree, client, nextId++);
      },
      this);
  connect(serverCore, &gateway::ServerCore::clientCountChanged, this, [this] { emit clientCountChanged(clientCount()); });
}

EmberServer::~EmberServer() { stop(); }

QString EmberServer::start(const gateway::Settings& settings) { return serverCore->start(settings); }

void EmberServer::stop() { serverCore->stop(); }

QString EmberServer::listenText() const { return serverCore->listenText(); }

int EmberServer::clientCount() const { return serverCore->clientCount(); }

}  // namespace ember
