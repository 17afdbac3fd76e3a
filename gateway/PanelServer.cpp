#include "PanelServer.h"

#include <QPointer>

#include <memory>

#include "Ini.h"
#include "ServerCore.h"

namespace gateway {

namespace {
constexpr int kLetterBuffer = 8;
constexpr int kNameBuffer = 256;
constexpr int kMaxPanelInputs = 999;   // route reports carry three digits
constexpr int kMaxPanelOutputs = 256;  // the console's grid

// One client: its bytes cut into blocks for the shared protocol.
class PanelSession final : public ClientProtocol {
 public:
  PanelSession(PanelProtocol& protocol, ClientHandle& client, quint64 id) : protocol(&protocol), id(id) {
    protocol.join(id, client.label(), [&client](const QByteArray& bytes) { client.send(bytes); });
  }
  ~PanelSession() override {
    if (protocol) protocol->leave(id);
  }
  void bytesIn(ClientHandle& client, const char* data, int size) override {
    std::vector<PanelBlock> blocks;
    const bool ok = parser.push(data, size, &blocks);
    for (const PanelBlock& b : blocks) {
      if (!protocol || !client.isOpen()) return;
      protocol->block(id, b);
    }
    // Not a panel: a line over 1 KiB or a block over 64 KiB.
    if (!ok && client.isOpen()) client.close(false);
  }
  void endOfInput(ClientHandle&) override {}
  // A client that half-closed after a route still gets the route it asked for.
  bool outstanding() const override { return protocol && protocol->waiting(id); }

 private:
  QPointer<PanelProtocol> protocol;
  const quint64 id;
  PanelBlockParser parser;
};
}  // namespace

PanelExtras ReadPanelExtras(const QString& fileName) {
  PanelExtras e;
  const QByteArray signal =
      platform::GetPrivateProfileString(kPanelSection, "Signal", "B", kLetterBuffer, fileName).trimmed().toUpper();
  if (signal == "B" || signal == "V") {
    e.signal = signal[0];
  } else {
    e.problem = QStringLiteral("Panel: Signal=%1 must be B (video and audio) or V (video only).")
                    .arg(QString::fromLatin1(signal));
  }
  e.inputs = platform::GetPrivateProfileInt(kPanelSection, "Inputs", 0, fileName);
  e.outputs = platform::GetPrivateProfileInt(kPanelSection, "Outputs", 0, fileName);
  if (e.problem.isEmpty() && (e.inputs < 0 || e.inputs > kMaxPanelInputs))
    e.problem = QStringLiteral("Panel: Inputs=%1 must be 0 (from the switcher) to %2.").arg(e.inputs).arg(kMaxPanelInputs);
  if (e.problem.isEmpty() && (e.outputs < 0 || e.outputs > kMaxPanelOutputs))
    e.problem = QStringLiteral("Panel: Outputs=%1 must be 0 (from the switcher) to %2.").arg(e.outputs).arg(kMaxPanelOutputs);
  e.friendlyName = QString::fromUtf8(
      platform::GetPrivateProfileString(kPanelSection, "Name", "", kNameBuffer, fileName)).trimmed();
  return e;
}

PanelServer::PanelServer(PanelHost& host, PanelOptions options, QObject* parent)
    : QObject(parent), panel(new PanelProtocol(host, options, this)) {
  serverCore = new ServerCore(
      QStringLiteral("Panel"),
      [this](ClientHandle& client) -> std::unique_ptr<ClientProtocol> {
        return std::make_unique<PanelSession>(*panel, client, nextId++);
      },
      this);
}

PanelServer::~PanelServer() { stop(); }

QString PanelServer::start(const Settings& settings) { return serverCore->start(settings); }

void PanelServer::stop() { serverCore->stop(); }

}  // namespace gateway
