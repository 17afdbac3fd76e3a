#include "Ini.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <ctime>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {
namespace {

constexpr const char kAppFolder[] = "switcher-console";
constexpr const char kSwitcherIni[] = "Switcher.ini";
constexpr const char kComSection[] = "COM";
constexpr int kFirstCom = 1;
constexpr int kLastCom = 4;
// Room for any Linux path (PATH_MAX) plus the terminating byte of the classic buffer.
constexpr int kDevicePathBuffer = 4096 + 1;

// Read-modify-write of one file must not interleave with another thread's write.
std::mutex& fileMutex() {
  static std::mutex m;
  return m;
}

bool isBlank(char c) {
  // The classic profile parser also drops the DOS end-of-file mark.
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == '\x1a';
}

QByteArray trimmed(const QByteArray& s) {
  int b = 0;
  int e = s.size();
  while (b < e && isBlank(s[b])) ++b;
  while (e > b && isBlank(s[e - 1])) --e;
  return s.mid(b, e - b);
}

QByteArray trimmedRight(const QByteArray& s) {
  int e = s.size();
  while (e > 0 && isBlank(s[e - 1])) --e;
  return s.left(e);
}

// Names compare without regard to ASCII case; bytes above 127 compare exactly.
bool sameName(const QByteArray& a, const QByteArray& b) { return a.compare(b, Qt::CaseInsensitive) == 0; }

struct Line {
  QByteArray text;  // without its line end
  enum Kind { Other, Section, Key } kind = Other;
  QByteArray name;   // section or key name, trimmed
  QByteArray value;  // key value, trimmed
  QByteArray eol;    // its own line end as read (a file may mix them); empty: the file's
  bool unterminated = false;  // the file's last line, without a line end: kept so while last
};

struct Profile {
  std::vector<Line> lines;
  QByteArray eol = "\n";
  bool endsWithEol = true;
  QByteArray bom;         // a UTF-8 byte-order mark ahead of the first line, kept on write
  bool unreadable = false;  // the file exists but could not be read
};

constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";

Line parseLine(const QByteArray& text) {
  Line l;
  l.text = text;
  const QByteArray t = trimmed(text);
  if (t.isEmpty() || t.startsWith(';')) return l;
  if (t.startsWith('[')) {
    const int close = t.indexOf(']');
    if (close > 0) {
      l.kind = Line::Section;
      l.name = trimmed(t.mid(1, close - 1));
    }
    return l;
  }
  const int eq = t.indexOf('=');
  if (eq <= 0) return l;
  l.kind = Line::Key;
  l.name = trimmed(t.left(eq));
  l.value = trimmed(t.mid(eq + 1));
  return l;
}

// What tells one version of a file from another without reading it.
struct Stamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};
  bool operator==(const Stamp& o) const {
    return device == o.device && inode == o.inode && size == o.size &&
           modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
           changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
  }
};

Stamp stampOf(const struct stat& st) {
  return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

std::atomic<long> fileReads{0};

Profile load(const QString& path, Stamp* stamp = nullptr, bool* stamped = nullptr) {
  Profile p;
  QFile f(path);
  if (stamped) *stamped = false;
  if (!f.open(QIODevice::ReadOnly)) {
    p.unreadable = f.exists();
    return p;
  }
  ++fileReads;
  // The stamp of what is read: taken on the open file, before its bytes.
  struct stat st;
  if (stamp && fstat(f.handle(), &st) == 0) {
    *stamp = stampOf(st);
    *stamped = true;
  }
  QByteArray data = f.readAll();
  // Editors that save "UTF-8 with BOM" would otherwise hide the first section header.
  if (data.startsWith(kUtf8Bom)) {
    p.bom = data.left(int(sizeof kUtf8Bom) - 1);
    data.remove(0, p.bom.size());
  }
  if (data.isEmpty()) return p;
  if (data.contains("\r\n")) p.eol = "\r\n";
  p.endsWithEol = data.endsWith('\n');
  QList<QByteArray> parts = data.split('\n');
  if (p.endsWithEol) parts.removeLast();
  p.lines.reserve(parts.size());
  for (qsizetype i = 0; i < parts.size(); ++i) {
    QByteArray& s = parts[i];
    // A CR is a line end's only before a LF; the unterminated last line keeps its bytes.
    const bool ended = p.endsWithEol || i + 1 < parts.size();
    const bool cr = ended && s.endsWith('\r');
    if (cr) s.chop(1);
    p.lines.push_back(parseLine(s));
    p.lines.back().eol = cr ? QByteArray("\r\n") : ended ? QByteArray("\n") : QByteArray();
    p.lines.back().unterminated = !ended;
  }
  return p;
}

// The parsed files, while their stamps say they are unchanged: the start-up reads dozens of
// keys of one file. A file changed within one tick of the file system's clock before it was
// read may change again within that tick and keep its stamp; such a file is read again until
// it is older. The kernel's tick is at most 10 ms; file systems that keep times in steps of
// 10 ms or more (FAT, exFAT) have steps of up to 2 s.
constexpr long long kRacyNs = 20'000'000;
constexpr long long kCoarseStepNs = 10'000'000;
constexpr long long kCoarseRacyNs = 2'100'000'000;
constexpr size_t kCachedFiles = 8;

struct Cached {
  QString path;
  Stamp stamp;
  bool settled = false;  // older than a tick when read: its stamp changes with any write
  std::shared_ptr<const Profile> profile;
};

std::vector<Cached>& cache() {
  static std::vector<Cached> files;
  return files;
}

long long nanoseconds(const timespec& t) { return t.tv_sec * 1'000'000'000LL + t.tv_nsec; }

void forget(const QString& path) {
  auto& files = cache();
  for (auto it = files.begin(); it != files.end(); ++it)
    if (it->path == path) {
      files.erase(it);
      return;
    }
}

// The file as now on disk, from the cache when its stamp is unchanged. Under fileMutex().
std::shared_ptr<const Profile> cachedLoad(const QString& path) {
  auto& files = cache();
  struct stat st;
  const bool exists = ::stat(QFile::encodeName(path).constData(), &st) == 0;
  for (Cached& c : files)
    if (c.path == path) {
      if (exists && c.settled && c.stamp == stampOf(st)) return c.profile;
      break;
    }
  forget(path);
  Stamp stamp;
  bool stamped = false;
  auto profile = std::make_shared<const Profile>(load(path, &stamp, &stamped));
  if (!stamped) return profile;  // absent or unreadable: asked again every time
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const long long newest = std::max(nanoseconds(stamp.modified), nanoseconds(stamp.changed));
  const bool coarse =
      stamp.modified.tv_nsec % kCoarseStepNs == 0 && stamp.changed.tv_nsec % kCoarseStepNs == 0;
  const bool settled = nanoseconds(now) - newest > (coarse ? kCoarseRacyNs : kRacyNs);
  if (files.size() >= kCachedFiles) files.erase(files.begin());
  files.push_back({path, stamp, settled, profile});
  return profile;
}

// Index of the first section line named `section`, or -1.
int findSection(const Profile& p, const QByteArray& section) {
  for (size_t i = 0; i < p.lines.size(); ++i)
    if (p.lines[i].kind == Line::Section && sameName(p.lines[i].name, section)) return int(i);
  return -1;
}

// Index of the first key `key` in the section starting at line `sec`, or -1.
int findKey(const Profile& p, int sec, const QByteArray& key) {
  for (size_t i = size_t(sec) + 1; i < p.lines.size(); ++i) {
    if (p.lines[i].kind == Line::Section) break;
    if (p.lines[i].kind == Line::Key && sameName(p.lines[i].name, key)) return int(i);
  }
  return -1;
}

// The value of section/key, or a null array when absent.
QByteArray lookup(const QByteArray& section, const QByteArray& key, const QString& fileName) {
  const QString path = profilePath(fileName);
  std::lock_guard<std::mutex> lock(fileMutex());
  const std::shared_ptr<const Profile> file = cachedLoad(path);
  const Profile& p = *file;
  const int sec = findSection(p, trimmed(section));
  if (sec < 0) return {};
  const int k = findKey(p, sec, trimmed(key));
  if (k < 0) return {};
  QByteArray v = p.lines[size_t(k)].value;
  if (v.isNull()) v = QByteArray("");
  return v;
}

// A matching pair of quotes around a value is not part of it, as in the classic reader.
QByteArray unquoted(const QByteArray& v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    return v.mid(1, v.size() - 2);
  return v;
}

// The reader trims blanks and drops one pair of quotes; a value that would lose either is
// written inside quotes, so that it reads back as written.
QByteArray stored(const QByteArray& v) {
  if (v.isEmpty() || (!isBlank(v.front()) && !isBlank(v.back()) && unquoted(v) == v)) return v;
  return '"' + v + '"';
}

bool hasLineBreakOrNul(const QByteArray& s) {
  return s.contains('\n') || s.contains('\r') || s.contains('\0');
}

bool validKey(const QByteArray& k) {
  return !k.isEmpty() && !k.contains('\n') && !k.contains('=') && !k.startsWith('[') &&
         !k.startsWith(';');
}

bool commit(const QString& path, const Profile& p) {
  QByteArray out = p.bom;
  for (size_t i = 0; i < p.lines.size(); ++i) {
    const Line& l = p.lines[i];
    out += l.text;
    // Lines we added or changed are always ended.
    if (!l.unterminated || i + 1 < p.lines.size()) out += l.eol.isEmpty() ? p.eol : l.eol;
  }

  // Whatever happens below, the next read goes to the file.
  forget(path);
  if (!QDir().mkpath(QFileInfo(path).absolutePath())) return false;
  QSaveFile f(path);
  if (!f.open(QIODevice::WriteOnly)) return false;
  if (f.write(out) != out.size()) {
    f.cancelWriting();
    return false;
  }
  return f.commit();
}

}  // namespace

QString configDir() {
  const QString own = qEnvironmentVariable("SWITCHER_CONFIG_DIR");
  if (!own.isEmpty()) return own;
  QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
  // The XDG rules ignore a relative XDG_CONFIG_HOME.
  if (base.isEmpty() || QDir::isRelativePath(base)) base = QDir::homePath() + QStringLiteral("/.config");
  return base + QLatin1Char('/') + QLatin1String(kAppFolder);
}

QString profilePath(const QString& fileName) {
  if (fileName.contains(QLatin1Char('/'))) return fileName;
  return configDir() + QLatin1Char('/') + fileName;
}

QByteArray GetPrivateProfileString(const QByteArray& section, const QByteArray& key,
                                   const QByteArray& defaultValue, int size,
                                   const QString& fileName) {
  bool cut = false;
  return GetPrivateProfileString(section, key, defaultValue, size, fileName, &cut);
}

QByteArray GetPrivateProfileString(const QByteArray& section, const QByteArray& key,
                                   const QByteArray& defaultValue, int size,
                                   const QString& fileName, bool* cut) {
  QByteArray v = lookup(section, key, fileName);
  v = v.isNull() ? trimmedRight(defaultValue) : unquoted(v);
  const int keep = size <= 0 ? 0 : size - 1;
  *cut = v.size() > keep;
  return keep == 0 ? QByteArray("") : v.left(keep);
}

int ParseBool(const QByteArray& text) {
  const QByteArray t = trimmed(text).toLower();
  if (t == "1" || t == "true" || t == "yes" || t == "on") return 1;
  if (t == "0" || t == "false" || t == "no" || t == "off") return 0;
  return -1;
}

bool GetPrivateProfileBool(const QByteArray& section, const QByteArray& key, bool defaultValue,
                           const QString& fileName, bool* ok) {
  const QByteArray v = unquoted(lookup(section, key, fileName));
  const int b = v.isEmpty() ? int(defaultValue) : ParseBool(v);
  if (ok) *ok = b >= 0;
  return b < 0 ? defaultValue : b == 1;
}

int GetPrivateProfileInt(const QByteArray& section, const QByteArray& key, int defaultValue,
                         const QString& fileName) {
  const QByteArray v = unquoted(lookup(section, key, fileName));
  if (v.isEmpty()) return defaultValue;
  int i = 0;
  bool negative = false;
  if (v[i] == '+' || v[i] == '-') negative = v[i++] == '-';
  // Saturate instead of wrapping around, so a long number never flips its sign.
  long long n = 0;
  for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i) {
    n = n * 10 + (v[i] - '0');
    if (n > INT_MAX) {
      n = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
      break;
    }
  }
  return static_cast<int>(negative ? -n : n);
}

bool WritePrivateProfileString(const QByteArray& section, const QByteArray& key,
                               const QByteArray& value, const QString& fileName) {
  const QByteArray sec = trimmed(section);
  const QByteArray k = trimmed(key);
  // A line break, a ']' in a section or a '=' in a key would change the file's structure
  // and damage the entries around it.
  if (sec.isEmpty() || k.isEmpty() || hasLineBreakOrNul(sec) || hasLineBreakOrNul(k) ||
      hasLineBreakOrNul(value) || sec.contains(']') || k.contains('=') || k.startsWith('[') ||
      k.startsWith(';'))
    return false;

  const QString path = profilePath(fileName);
  std::lock_guard<std::mutex> lock(fileMutex());
  Profile p = load(path);
  // Writing what little we know would replace every other setting in that file.
  if (p.unreadable) return false;

  const int s = findSection(p, sec);
  if (s < 0) {
    if (!p.lines.empty() && !trimmed(p.lines.back().text).isEmpty()) p.lines.push_back(Line{});
    p.lines.push_back(parseLine('[' + sec + ']'));
    p.lines.push_back(parseLine(k + '=' + stored(value)));
  } else {
    const int at = findKey(p, s, k);
    if (at >= 0) {
      // Keep the key as spelled in the file.
      Line& l = p.lines[size_t(at)];
      const QByteArray eol = l.eol;
      l = parseLine(l.name + '=' + stored(value));
      l.eol = eol;
    } else {
      // After the last entry of the section, ahead of blank lines or comments that
      // introduce the next one.
      size_t insertAt = size_t(s) + 1;
      for (size_t i = size_t(s) + 1; i < p.lines.size() && p.lines[i].kind != Line::Section; ++i)
        if (p.lines[i].kind == Line::Key) insertAt = i + 1;
      p.lines.insert(p.lines.begin() + long(insertAt), parseLine(k + '=' + stored(value)));
    }
  }

  return commit(path, p);
}

std::vector<ProfileEntry> GetPrivateProfileSection(const QByteArray& section,
                                                   const QString& fileName) {
  const QString path = profilePath(fileName);
  std::lock_guard<std::mutex> lock(fileMutex());
  const std::shared_ptr<const Profile> file = cachedLoad(path);
  const Profile& p = *file;
  std::vector<ProfileEntry> entries;
  const int sec = findSection(p, trimmed(section));
  if (sec < 0) return entries;
  for (size_t i = size_t(sec) + 1; i < p.lines.size() && p.lines[i].kind != Line::Section; ++i)
    if (p.lines[i].kind == Line::Key)
      entries.push_back({p.lines[i].name, unquoted(p.lines[i].value)});
  return entries;
}

bool WritePrivateProfileSections(const std::vector<ProfileSection>& sections,
                                 const QString& fileName) {
  for (const ProfileSection& s : sections) {
    const QByteArray sec = trimmed(s.name);
    if (sec.isEmpty() || hasLineBreakOrNul(sec) || sec.contains(']')) return false;
    // Whatever GetPrivateProfileSection gave may be written back: only a line feed breaks a
    // line (a CR or NUL inside a value reads back as it is).
    for (const ProfileEntry& e : s.entries)
      if (!validKey(trimmed(e.key)) || e.value.contains('\n')) return false;
  }
  const QString path = profilePath(fileName);
  std::lock_guard<std::mutex> lock(fileMutex());
  Profile p = load(path);
  if (p.unreadable) return false;
  const auto entryLine = [](const ProfileEntry& e) {
    return parseLine(trimmed(e.key) + '=' + stored(e.value));
  };
  for (const ProfileSection& s : sections) {
    const QByteArray sec = trimmed(s.name);
    const int head = findSection(p, sec);
    if (head < 0) {
      if (s.entries.empty()) continue;
      if (!p.lines.empty() && !trimmed(p.lines.back().text).isEmpty()) p.lines.push_back(Line{});
      p.lines.push_back(parseLine('[' + sec + ']'));
      for (const ProfileEntry& e : s.entries) p.lines.push_back(entryLine(e));
      continue;
    }
    // Later copies of the section lose their header and keys; comments and blank lines
    // stay where they are, as everywhere below.
    bool inCopy = false;
    for (size_t i = size_t(head) + 1; i < p.lines.size();) {
      const Line& l = p.lines[i];
      if (l.kind == Line::Section) inCopy = sameName(l.name, sec);
      if (inCopy && l.kind != Line::Other) {
        p.lines.erase(p.lines.begin() + long(i));
        continue;
      }
      ++i;
    }
    // The first copy: each key line takes the first entry of its name not yet placed (and
    // keeps its spelling while its value stays); a key without one goes.
    std::vector<bool> placed(s.entries.size(), false);
    size_t lastKey = size_t(head);
    for (size_t i = size_t(head) + 1; i < p.lines.size() && p.lines[i].kind != Line::Section;) {
      Line& l = p.lines[i];
      if (l.kind != Line::Key) {
        ++i;
        continue;
      }
      size_t k = 0;
      while (k < s.entries.size() && (placed[k] || !sameName(trimmed(s.entries[k].key), l.name))) ++k;
      if (k == s.entries.size()) {
        p.lines.erase(p.lines.begin() + long(i));
        continue;
      }
      placed[k] = true;
      if (unquoted(l.value) != s.entries[k].value) {
        const QByteArray eol = l.eol;
        l = parseLine(l.name + '=' + stored(s.entries[k].value));
        l.eol = eol;
      }
      lastKey = i++;
    }
    // New keys after the last one, ahead of the comments that introduce the next section.
    std::vector<Line> added;
    for (size_t k = 0; k < s.entries.size(); ++k)
      if (!placed[k]) added.push_back(entryLine(s.entries[k]));
    p.lines.insert(p.lines.begin() + long(lastKey) + 1, added.begin(), added.end());
    if (s.entries.empty()) p.lines.erase(p.lines.begin() + head);
  }
  return commit(path, p);
}

long ProfileFileReads() { return fileReads; }

QString comDevicePath(int port) {
  if (port < kFirstCom || port > kLastCom) return {};
  const QByteArray key = "COM" + QByteArray::number(port);
  const QByteArray def = "/dev/ttyS" + QByteArray::number(port - kFirstCom);
  return QString::fromLocal8Bit(GetPrivateProfileString(kComSection, key, def, kDevicePathBuffer,
                                                        QString::fromLatin1(kSwitcherIni)));
}

}  // namespace platform
