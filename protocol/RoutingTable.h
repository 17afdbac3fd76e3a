#pragma once
// The console's one copy of the matrix routing: for each output 1..256 the input that feeds
// its video and the one that feeds its audio (0 = closed), each unknown until a route report
// or the operator's own close names it. The grid, tooltips and routing snapshots read it.

#include <QObject>

#include <array>
#include <vector>

namespace feedback {
struct Line;
}

namespace routing {

constexpr int kOutputs = 256;
constexpr int kUnknown = -1;
// Route reports carry three digits, so no switcher reports a larger input.
constexpr int kMaxInput = 999;

struct Route {
  int video = kUnknown;
  int audio = kUnknown;
  bool known() const { return video != kUnknown && audio != kUnknown; }
  // Audio and video both known and from different inputs.
  bool breakaway() const { return known() && video != audio; }
  bool operator==(const Route& o) const { return video == o.video && audio == o.audio; }
  bool operator!=(const Route& o) const { return !(*this == o); }
};

class RoutingTable : public QObject {
  Q_OBJECT
 public:
  explicit RoutingTable(QObject* parent = nullptr);

  // Output 1..kOutputs; an unknown route for any other number.
  Route route(int output) const;

  // The three report kinds; an output or input out of range changes nothing.
  void setBoth(int output, int input);
  void setVideo(int output, int input);
  void setAudio(int output, int input);
  // The operator closed the output (the output-port dialog): both signals 0.
  void close(int output);
  // Feeds a parsed feedback line; true when it was a route report the table took.
  bool apply(const feedback::Line& line);

  // A refresh asks for every output again: from here on, reportedCount() counts the
  // outputs whose video and audio have both been reported since, and allReported() is
  // emitted once all have. The routes themselves stay as they are.
  void beginRefresh();
  int reportedCount() const { return reported; }
  bool refreshComplete() const { return reported == kOutputs; }
  // The routing as the last refresh reported it: signals not reported since
  // beginRefresh() are unknown. Index = output; index 0 unused.
  std::vector<Route> refreshedRoutes() const;
  // Every route as known now. Index = output; index 0 unused.
  std::vector<Route> routes() const;

 signals:
  // The output's video or audio input changed (also from unknown to known).
  void changed(int output);
  // The switcher reported the output, changed or not (after changed() when it changed).
  void routeReported(int output);
  void allReported();

 private:
  enum Signal : unsigned char { kVideoBit = 1, kAudioBit = 2, kBothBits = 3 };
  void set(int output, int input, unsigned char which);

  std::array<Route, kOutputs + 1> table{};
  std::array<unsigned char, kOutputs + 1> fresh{};  // Signal bits reported since the refresh
  int reported = 0;
};

}  // namespace routing
