#pragma once
// A WebHost for the page's tests and its demo program: the simulator's core as the switcher
// behind a real routing table, so a route asked for by a page comes back as the switcher's
// report after a turn of the event loop, as it does through a link.

#include "Commands.h"
#include "Feedback.h"
#include "Names.h"
#include "Protects.h"
#include "RoutingSnapshot.h"
#include "RoutingTable.h"
#include "SwitcherCore.h"
#include "WebHost.h"
#include "WebServer.h"

#include <QDateTime>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <utility>

class SimHost final : public QObject, public web::WebHost {
 public:
  static constexpr int kPresetChunk = 16;
  explicit SimHost(int inputs = 16, int outputs = 16) : core(inputs, outputs), server(*this) {
    dev = {QStringLiteral("Simulated %1x%2").arg(inputs).arg(outputs), QStringLiteral("1.0"), inputs, outputs};
    // Commands the switcher answers with a report per output, as a refresh would bring them.
    QByteArrayList fromOne, closeAll;
    for (int o = 1; o <= outputs; o += kPresetChunk) {
      std::vector<int> list;
      for (int k = o; k < o + kPresetChunk && k <= outputs; ++k) list.push_back(k);
      fromOne << commands::RouteText(1, list.data(), int(list.size()), 'B');
      closeAll << commands::CloseOutputsText(list.data(), int(list.size()));
    }
    presetList.push_back({{QStringLiteral("g1"), QStringLiteral("All from 1")}, fromOne});
    presetList.push_back({{QStringLiteral("g2"), QStringLiteral("Close all")}, closeAll});
    connect(&table, &routing::RoutingTable::changed, this, [this](int o) { server.routeChanged(o); });
    connect(&held, &routing::Protects::changed, this, [this](int o) { server.protectChanged(o); });
    connect(&server, &web::WebServer::clientGone, this, [this](const QString& label) { held.forget(label); });
    pumpTimer.setSingleShot(true);
    connect(&pumpTimer, &QTimer::timeout, this, [this] { pump(); });
    reportAll();
  }

  // The switcher's reports of every output, as a refresh brings them.
  void reportAll() { feed(core.execute("Status.")); }
  void setLink(web::LinkState s, const QString& reason = {}) {
    state = {s, reason};
    if (s != web::LinkState::Ready) dropQueue();
    server.linkChanged();
  }

  web::Link link() const override { return state; }
  web::Device device() const override { return dev; }
  routing::Route route(int output) const override { return output <= dev.outputs ? table.route(output) : routing::Route{}; }
  QString name(names::Kind kind, int number) const override { return nameTable.name(kind, number); }
  std::vector<web::Preset> presets() const override {
    std::vector<web::Preset> out;
    for (const auto& p : presetList) out.push_back(p.first);
    return out;
  }
  bool canSend(int count, const QString&) const override { return int(queue.size()) + count <= capacity; }
  web::SendResult sendCommand(const QByteArray& command, const QString& label, std::function<void()> onDropped) override {
    if (state.state != web::LinkState::Ready) return web::SendResult::LinkClosed;
    if (int(queue.size()) >= capacity) return web::SendResult::Busy;
    sent << command;
    labels << label;
    queue.push_back({command, std::move(onDropped), {}});
    if (!holdQueue) pumpTimer.start(replyDelayMs);
    return web::SendResult::Accepted;
  }
  web::SendResult runPreset(const QString& id, const QString& label, std::function<void(int, int)> outcome) override {
    for (const auto& p : presetList) {
      if (p.first.id != id) continue;
      if (!canSend(int(p.second.size()), label)) return web::SendResult::Busy;
      const int total = int(p.second.size());
      auto sent = std::make_shared<int>(0);
      auto told = std::make_shared<bool>(false);
      const auto tell = [sent, told, total, outcome] {
        if (!std::exchange(*told, true)) outcome(*sent, total);
      };
      for (const QByteArray& c : p.second) {
        if (const web::SendResult r = sendCommand(c, label, tell); r != web::SendResult::Accepted) return r;
        queue.back().written = [sent, total, tell] {
          if (++*sent == total) tell();
        };
      }
      return web::SendResult::Accepted;
    }
    return web::SendResult::LinkClosed;
  }
  QString rename(names::Kind kind, int number, const QString& name) override {
    const QString error = nameTable.set(kind, number, name);
    if (error.isEmpty()) server.namesChanged();
    return error;
  }
  web::Protect protect(int output) const override {
    const routing::ProtectHolder* h = held.holder(output);
    return h ? web::Protect{h->label, h->shown} : web::Protect{};
  }
  bool setProtect(int output, const web::Protect& by, bool on) override {
    return on ? held.protect(output, {by.label, by.shown}) : held.release(output, by.label);
  }
  QString saveRoutingPreset(std::function<void(const QString&)> kept) override {
    const routing::Snapshot snap = routing::MakeSnapshot(table.routes(), &nameTable, QDateTime::currentDateTime());
    if (snap.items.isEmpty()) return QStringLiteral("No route is known yet.");
    // Kept after the capture's replies, as the engine's is.
    QTimer::singleShot(replyDelayMs, this, [this, snap, kept] {
      if (!keepFails.isEmpty()) return kept(keepFails);
      QByteArrayList codes;
      for (const routing::SnapshotItem& item : snap.items) codes << item.code;
      presetList.push_back({{QStringLiteral("g%1").arg(presetList.size() + 1), snap.user + QLatin1Char(' ') + snap.description}, codes});
      server.presetsChanged();
      kept({});
    });
    return {};
  }

  // Runs what waits on the switcher and feeds its reports back, all in this turn.
  void pump(size_t most = SIZE_MAX) {
    QByteArray replies;
    for (; !queue.empty() && most > 0; --most) {
      const Waiting c = std::move(queue.front());
      queue.pop_front();
      replies += core.execute(c.command);
      if (c.written) c.written();
    }
    feed(replies);
  }
  void dropQueue() {
    std::deque<Waiting> gone;
    gone.swap(queue);
    for (auto& c : gone)
      if (c.dropped) c.dropped();
  }
  void feed(const QByteArray& bytes) {
    assembler.feed(bytes, [this](const QByteArray& line) { table.apply(feedback::ParseLine(line)); });
  }

  sim::SwitcherCore core;
  routing::RoutingTable table;
  routing::Protects held;
  names::Names nameTable;
  web::Link state{web::LinkState::Ready, {}};
  web::Device dev;
  std::vector<std::pair<web::Preset, QByteArrayList>> presetList;
  QByteArrayList sent;
  QStringList labels;
  int capacity = 256;
  QString keepFails;  // why a saved routing is not kept, when set
  bool holdQueue = false;  // commands stay queued until pump() or dropQueue()
  int replyDelayMs = 1;
  web::WebServer server;

 private:
  struct Waiting {
    QByteArray command;
    std::function<void()> dropped, written;
  };
  std::deque<Waiting> queue;
  feedback::TcpAssembler assembler;
  QTimer pumpTimer;
};
