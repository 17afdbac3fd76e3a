// Routing snapshots: how many commands and bytes restore a 256-output routing, against one
// command per output and signal, and how long making the snapshot takes.
// Usage: bench_routing [runs]

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "Names.h"
#include "RoutingSnapshot.h"

namespace {

constexpr int kDefaultRuns = 200;
constexpr int kSeed = 20261208;
constexpr double kLineBytesPerSecond = 960.0;  // 9600 baud, 8N1
constexpr double kNsPerMicrosecond = 1e3;

using Routes = std::vector<routing::Route>;

Routes RandomRouting() {
  QRandomGenerator rng(kSeed);
  Routes r(routing::kOutputs + 1);
  for (int o = 1; o <= routing::kOutputs; ++o)
    r[size_t(o)] = {int(rng.bounded(1, routing::kOutputs + 1)),
                    int(rng.bounded(1, routing::kOutputs + 1))};
  return r;
}

Routes Identity() {
  Routes r(routing::kOutputs + 1);
  for (int o = 1; o <= routing::kOutputs; ++o) r[size_t(o)] = {o, o};
  return r;
}

Routes OneInput() {
  Routes r(routing::kOutputs + 1);
  for (int o = 1; o <= routing::kOutputs; ++o) r[size_t(o)] = {7, 7};
  return r;
}

// "iVo." and "iAo." for every output.
qsizetype BaselineBytes(const Routes& r) {
  qsizetype bytes = 0;
  for (int o = 1; o <= routing::kOutputs; ++o)
    bytes += QByteArray::number(r[size_t(o)].video).size() +
             QByteArray::number(r[size_t(o)].audio).size() + 2 * QByteArray::number(o).size() + 4;
  return bytes;
}

void Row(const char* name, const Routes& routes, const names::Names& names, int runs) {
  const QDateTime when = QDateTime::currentDateTime();
  std::vector<qint64> ns;
  routing::Snapshot snap;
  for (int k = 0; k < runs; ++k) {
    QElapsedTimer t;
    t.start();
    snap = routing::MakeSnapshot(routes, &names, when);
    ns.push_back(t.nsecsElapsed());
  }
  std::sort(ns.begin(), ns.end());
  qsizetype bytes = 0;
  int longest = 0;
  for (const routing::SnapshotItem& i : snap.items) {
    bytes += i.code.size();
    longest = std::max(longest, int(i.code.size()));
  }
  const int baseCommands = 2 * routing::kOutputs;
  const qsizetype baseBytes = BaselineBytes(routes);
  std::printf("%-22s %5lld commands %6lld bytes (longest %2d, %5.1f s at 9600 baud) | "
              "per output and signal: %4d commands %6lld bytes (%5.1f s) | %5.1f%% of the bytes "
              "| make %7.1f us\n",
              name, static_cast<long long>(snap.items.size()), static_cast<long long>(bytes),
              longest, bytes / kLineBytesPerSecond, baseCommands,
              static_cast<long long>(baseBytes), baseBytes / kLineBytesPerSecond,
              100.0 * double(bytes) / double(baseBytes), ns[ns.size() / 2] / kNsPerMicrosecond);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultRuns;
  names::Names names;
  for (int n = 1; n <= names::kMaxNumber; ++n) {
    names.set(names::Kind::Input, n, QStringLiteral("Camera %1").arg(n));
    names.set(names::Kind::Output, n, QStringLiteral("Monitor %1").arg(n));
  }
  std::printf("routing snapshot of 256 outputs, median of %d runs, every input named\n", runs);
  Row("random (V, A apart)", RandomRouting(), names, runs);
  Row("identity", Identity(), names, runs);
  Row("one input to all", OneInput(), names, runs);
  return 0;
}
