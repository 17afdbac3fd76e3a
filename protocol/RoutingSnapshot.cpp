#include "RoutingSnapshot.h"

#include <map>

#include "Commands.h"
#include "Names.h"

namespace routing {
namespace {

constexpr char kDateFormat[] = "yyyy-MM-dd HH:mm";

enum class Signal { Both, Video, Audio };

QString outputsText(int n) {
  return n == 1 ? QStringLiteral("1 output") : QStringLiteral("%1 outputs").arg(n);
}

QString inputText(int input, const names::Names* names) {
  const QString name = names ? names->name(names::Kind::Input, input) : QString();
  return name.isEmpty() ? QStringLiteral("Input %1").arg(input) : name;
}

QString describe(int input, Signal signal, int count, const names::Names* names) {
  if (input == 0) {
    // The output-port dialog's way to close one signal: input 0 on that signal.
    return signal == Signal::Video ? QStringLiteral("Close video of %1").arg(outputsText(count))
                                   : QStringLiteral("Close audio of %1").arg(outputsText(count));
  }
  const QString what = signal == Signal::Both    ? QString()
                       : signal == Signal::Video ? QStringLiteral(" video")
                                                 : QStringLiteral(" audio");
  return QStringLiteral("%1%2 to %3").arg(inputText(input, names), what, outputsText(count));
}

char letter(Signal s) { return s == Signal::Both ? 'B' : s == Signal::Video ? 'V' : 'A'; }

// Cuts the outputs (ascending) into the fewest commands of at most kMaxCommandBytes each.
// input < 0: close commands.
template <typename Describe>
void emitCommands(int input, Signal signal, const std::vector<int>& outputs,
                  Describe describeCount, QList<SnapshotItem>* items) {
  const auto text = [&](const std::vector<int>& list) {
    return input < 0 ? commands::CloseOutputsText(list.data(), int(list.size()))
                     : commands::RouteText(input, list.data(), int(list.size()), letter(signal));
  };
  std::vector<int> piece;
  const auto flush = [&] {
    if (piece.empty()) return;
    items->append({describeCount(int(piece.size())), text(piece)});
    piece.clear();
  };
  for (int o : outputs) {
    piece.push_back(o);
    if (piece.size() > 1 && text(piece).size() > kMaxCommandBytes) {
      piece.pop_back();
      flush();
      piece.push_back(o);
    }
  }
  flush();
}

}  // namespace

Snapshot MakeSnapshot(const std::vector<Route>& routes, const names::Names* names,
                      const QDateTime& when) {
  Snapshot snap;
  snap.user = QString::fromLatin1(kSnapshotUser);
  std::vector<int> closes;
  // Per input (ascending), the outputs of each kind, in ascending order.
  std::map<int, std::vector<int>> both, video, audio;
  for (int o = 1; o < int(routes.size()); ++o) {
    const Route& r = routes[size_t(o)];
    if (!r.known()) {
      ++snap.unknownOutputs;
    } else if (r.video == 0 && r.audio == 0) {
      closes.push_back(o);
    } else if (r.video == r.audio) {
      both[r.video].push_back(o);
    } else {
      video[r.video].push_back(o);
      audio[r.audio].push_back(o);
    }
  }

  emitCommands(-1, Signal::Both, closes,
               [](int n) { return QStringLiteral("Close %1").arg(outputsText(n)); }, &snap.items);
  for (const auto& [outputs, signal] :
       {std::pair{&both, Signal::Both}, {&video, Signal::Video}, {&audio, Signal::Audio}}) {
    for (const auto& [input, list] : *outputs) {
      const int in = input;
      const Signal sig = signal;
      emitCommands(in, sig, list, [&](int n) { return describe(in, sig, n, names); },
                   &snap.items);
    }
  }

  snap.description = when.toString(QString::fromLatin1(kDateFormat));
  if (snap.unknownOutputs > 0)
    snap.description += QStringLiteral(" (%1 unknown)").arg(outputsText(snap.unknownOutputs));
  return snap;
}

}  // namespace routing
