// Start-up benchmark: process start to the first painted frame of the main window, and the
// resident memory once the grid has filled from switcher-sim (on a pseudo-terminal, found by
// the console's start-up COM search), against a bare Qt Widgets program with 256 push buttons
// in a frameless 800 by 600 window, measured in the same run, alternating. Two pairs of figures:
// every feature at its default, and with the gateway, the router-panel listener and MQTT on
// (MQTT against a closed loopback port: no broker answers, as at a site where it is down).
// Goals: ratios at most 1.25 (defaults) and 1.35 (listeners and MQTT on), the console's first
// frame under 150 ms. Needs a display (scripts/bench gives one).
// Usage: bench_startup [runs]
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kDefaultRuns = 11;
constexpr int kLineWaitMs = 30000;  // a program that never reports fails the run
constexpr double kRatioGoal = 1.25;           // features at their defaults
constexpr double kListenersRatioGoal = 1.35;  // gateway, panel listener and MQTT on
constexpr double kStartGoalMs = 150;

struct Child {
  pid_t pid = -1;
  int out = -1;  // its stdout
  std::string buffer;
};

Child spawn(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) {
    std::perror("pipe");
    std::exit(1);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> envStore(extraEnv);
  for (char** e = environ; *e; ++e) envStore.emplace_back(*e);
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);
  Child c;
  if (posix_spawn(&c.pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
    std::fprintf(stderr, "cannot start %s\n", argv[0]);
    std::exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  c.out = pipeFds[0];
  return c;
}

// The next line of the child's stdout, or "" after kLineWaitMs or at its end.
std::string readLine(Child& c) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(kLineWaitMs);
  for (;;) {
    const auto nl = c.buffer.find('\n');
    if (nl != std::string::npos) {
      std::string line = c.buffer.substr(0, nl);
      c.buffer.erase(0, nl + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return "";
    pollfd p{c.out, POLLIN, 0};
    if (poll(&p, 1, int(left.count())) <= 0) continue;
    char chunk[512];
    const ssize_t n = read(c.out, chunk, sizeof chunk);
    if (n <= 0) return "";
    c.buffer.append(chunk, size_t(n));
  }
}

std::string waitFor(Child& c, const std::string& word) {
  for (std::string line = readLine(c); !line.empty(); line = readLine(c))
    if (line.rfind(word, 0) == 0) return line;
  std::fprintf(stderr, "no \"%s\" from pid %d\n", word.c_str(), int(c.pid));
  std::exit(1);
}

long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> value;
      return value;
    }
    status.ignore(4096, '\n');
  }
  return 0;
}

void stop(Child& c) {
  kill(c.pid, SIGKILL);
  waitpid(c.pid, nullptr, 0);
  close(c.out);
}

struct Sample {
  double startMs;
  long rssKiB;
};

Sample measure(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  const auto t0 = Clock::now();
  Child c = spawn(args, env);
  waitFor(c, "painted");
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  waitFor(c, "ready");
  const long rss = residentKiB(c.pid);
  stop(c);
  return {ms, rss};
}

template <typename T>
T median(std::vector<T> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// A loopback TCP port that nothing listens on right now (the kernel's pick, then released).
int freePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    std::perror("freePort");
    std::exit(1);
  }
  close(fd);
  return ntohs(a.sin_port);
}

std::string makeConfig(const std::string& pty, const std::string& extra) {
  char dirTemplate[] = "/tmp/bench_startup.XXXXXX";
  const char* config = mkdtemp(dirTemplate);
  if (!config) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  std::ofstream(std::string(config) + "/Switcher.ini")
      << "[COM]\nCOM1=" << pty
      << "\nCOM2=/nonexistent/2\nCOM3=/nonexistent/3\nCOM4=/nonexistent/4\n"
         "[TCP]\nConnect=0\n"
      << extra;
  // SC_BENCH_NAMES set: every input and output has a name, as at a large site.
  if (std::getenv("SC_BENCH_NAMES")) {
    std::ofstream n(std::string(config) + "/Names.ini");
    for (const char* kind : {"Inputs", "Outputs"}) {
      n << '[' << kind << "]\n";
      for (int k = 1; k <= 256; ++k) n << k << '=' << kind << " name " << k << '\n';
    }
  }
  return config;
}

void removeConfig(const std::string& dir) {
  // The console writes files of its own there too (its session log among them).
  const std::string cmd = "rm -rf '" + dir + "'";
  if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", dir.c_str());
}

std::string beside(const std::string& relative) {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return relative;
  std::string dir(self, size_t(n));
  return dir.substr(0, dir.rfind('/') + 1) + relative;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultRuns;
  const std::string console = beside("../../app/switcher-console");
  const std::string sim = beside("../../sim/switcher-sim");
  const std::string bare = beside("bench_startup_bare");

  Child simulator = spawn({sim, "--pty", "--quiet"}, {});
  const std::string where = waitFor(simulator, "PTY ");
  const std::string pty = where.substr(4);

  const std::string config = makeConfig(pty, "");
  // The listeners' ports are free now; the broker's stays closed (nothing answers there).
  const std::string listening = makeConfig(
      pty, "[Gateway]\nPort=" + std::to_string(freePort()) + "\n[Panel]\nPort=" +
               std::to_string(freePort()) + "\n[MQTT]\nHost=127.0.0.1\nPort=" +
               std::to_string(freePort()) + "\n");
  const std::vector<std::string> consoleEnv{"SWITCHER_CONFIG_DIR=" + config};
  const std::vector<std::string> listenersEnv{"SWITCHER_CONFIG_DIR=" + listening};

  // One of each first, unmeasured: the file cache holds the programs' libraries after it.
  measure({console, "--report-start"}, consoleEnv);
  measure({console, "--report-start"}, listenersEnv);
  measure({bare}, {});
  std::vector<double> consoleMs, listenersMs, bareMs;
  std::vector<long> consoleRss, listenersRss, bareRss;
  for (int i = 0; i < runs; ++i) {
    const Sample c = measure({console, "--report-start"}, consoleEnv);
    const Sample l = measure({console, "--report-start"}, listenersEnv);
    const Sample b = measure({bare}, {});
    consoleMs.push_back(c.startMs);
    consoleRss.push_back(c.rssKiB);
    listenersMs.push_back(l.startMs);
    listenersRss.push_back(l.rssKiB);
    bareMs.push_back(b.startMs);
    bareRss.push_back(b.rssKiB);
  }
  stop(simulator);
  removeConfig(config);
  removeConfig(listening);

  const double cMs = median(consoleMs), lMs = median(listenersMs), bMs = median(bareMs);
  const long cRss = median(consoleRss), lRss = median(listenersRss), bRss = median(bareRss);
  const double msRatio = cMs / bMs, rssRatio = double(cRss) / double(bRss);
  const double lMsRatio = lMs / bMs, lRssRatio = double(lRss) / double(bRss);
  std::printf("runs: %d each, medians\n", runs);
  std::printf("start to first frame: console %.1f ms, bare Qt %.1f ms, ratio %.2f (goal <= %.2f; console goal < %.0f ms)\n",
              cMs, bMs, msRatio, kRatioGoal, kStartGoalMs);
  std::printf("resident memory: console %.1f MiB (grid filled), bare Qt %.1f MiB, ratio %.2f (goal <= %.2f)\n",
              cRss / 1024.0, bRss / 1024.0, rssRatio, kRatioGoal);
  std::printf("gateway, panel and MQTT on: start %.1f ms, ratio %.2f; memory %.1f MiB, ratio %.2f (goal <= %.2f)\n",
              lMs, lMsRatio, lRss / 1024.0, lRssRatio, kListenersRatioGoal);
  const bool met = msRatio <= kRatioGoal && rssRatio <= kRatioGoal && cMs < kStartGoalMs &&
                   lMsRatio <= kListenersRatioGoal && lRssRatio <= kListenersRatioGoal;
  std::printf("%s\n", met ? "goals met" : "goals NOT met");
  return met ? 0 : 1;
}
