#include "RoutingSnapshot.h"

#include <algorithm>
#include <cstdint>
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

int digits(int n) { return n >= 100 ? 3 : n >= 10 ? 2 : 1; }

constexpr int kDigitClasses = 3;  // outputs 1-9, 10-99, 100-999

// First fit, longest numbers first: fills commands well, and is tried before the exact
// search below.
std::vector<std::vector<int>> firstFit(const std::vector<int>& outputs, int room) {
  std::vector<int> order = outputs;
  std::stable_sort(order.begin(), order.end(), [](int a, int b) { return digits(a) > digits(b); });
  std::vector<std::vector<int>> bins;
  std::vector<int> left;
  for (int o : order) {
    const int size = digits(o) + 1;
    size_t b = 0;
    while (b < bins.size() && left[b] < size) ++b;
    if (b == bins.size()) {
      bins.emplace_back();
      left.push_back(room);
    }
    bins[b].push_back(o);
    left[b] -= size;
  }
  return bins;
}

// The fewest commands for the outputs. A command's length depends only on how many of its
// outputs have one, two and three digits (each costs its digits and a comma), so this is
// bin packing with three item sizes: exact by a table over those three counts, searched only
// when first fit misses the lower bound.
std::vector<std::vector<int>> packOutputs(const std::vector<int>& outputs, int room) {
  int total = 0;
  for (int o : outputs) total += digits(o) + 1;
  std::vector<std::vector<int>> fit = firstFit(outputs, room);
  if (int(fit.size()) * room < total + room) return fit;  // ceil(total / room) bins: optimal
  std::vector<int> byDigits[kDigitClasses];
  for (int o : outputs) byDigits[digits(o) - 1].push_back(o);
  const int n1 = int(byDigits[0].size()), n2 = int(byDigits[1].size()), n3 = int(byDigits[2].size());
  // Each command: as many one-digit outputs as fit beside y two-digit and z three-digit ones.
  struct Fill {
    int x, y, z;
  };
  std::vector<Fill> fills;
  for (int z = 0; z <= n3 && 4 * z <= room; ++z)
    for (int y = 0; y <= n2 && 4 * z + 3 * y <= room; ++y)
      fills.push_back({std::min(n1, (room - 4 * z - 3 * y) / 2), y, z});
  const auto index = [&](int a, int b, int c) { return (size_t(a) * size_t(n2 + 1) + size_t(b)) * size_t(n3 + 1) + size_t(c); };
  const size_t states = index(n1, n2, n3) + 1;
  std::vector<std::uint16_t> fewest(states, 0), chosen(states, 0);
  for (int a = 0; a <= n1; ++a)
    for (int b = 0; b <= n2; ++b)
      for (int c = 0; c <= n3; ++c) {
        if (a + b + c == 0) continue;
        std::uint16_t best = UINT16_MAX;
        for (size_t f = 0; f < fills.size(); ++f) {
          const Fill& k = fills[f];
          const int ra = a - std::min(k.x, a), rb = b - std::min(k.y, b), rc = c - std::min(k.z, c);
          if (ra == a && rb == b && rc == c) continue;
          const std::uint16_t n = std::uint16_t(fewest[index(ra, rb, rc)] + 1);
          if (n < best) {
            best = n;
            chosen[index(a, b, c)] = std::uint16_t(f);
          }
        }
        fewest[index(a, b, c)] = best;
      }
  std::vector<std::vector<int>> bins;
  int taken[kDigitClasses] = {0, 0, 0};
  for (int a = n1, b = n2, c = n3; a + b + c > 0;) {
    const Fill& k = fills[chosen[index(a, b, c)]];
    const int take[kDigitClasses] = {std::min(k.x, a), std::min(k.y, b), std::min(k.z, c)};
    std::vector<int> bin;
    for (int d = 0; d < kDigitClasses; ++d)
      for (int i = 0; i < take[d]; ++i) bin.push_back(byDigits[d][size_t(taken[d]++)]);
    std::sort(bin.begin(), bin.end());
    bins.push_back(std::move(bin));
    a -= take[0];
    b -= take[1];
    c -= take[2];
  }
  return bins;
}

// The outputs (ascending, at most three digits each) in the fewest commands of at most
// kMaxCommandBytes each. input < 0: close commands.
template <typename Describe>
void emitCommands(int input, Signal signal, const std::vector<int>& outputs,
                  Describe describeCount, QList<SnapshotItem>* items) {
  if (outputs.empty()) return;
  const auto text = [&](const std::vector<int>& list) {
    return input < 0 ? commands::CloseOutputsText(list.data(), int(list.size()))
                     : commands::RouteText(input, list.data(), int(list.size()), letter(signal));
  };
  // What a command costs besides its outputs and their commas; the last output has no comma.
  const int overhead = int(text({outputs[0]}).size()) - digits(outputs[0]);
  const int room = kMaxCommandBytes - overhead + 1;
  std::vector<std::vector<int>> bins = packOutputs(outputs, room);
  std::sort(bins.begin(), bins.end());
  for (const std::vector<int>& bin : bins) items->append({describeCount(int(bin.size())), text(bin)});
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
