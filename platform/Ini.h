#pragma once
// Settings files with the semantics of the classic private-profile functions:
// section/key lookup (case-insensitive), default, buffer-size cut, integer read, and a write
// that keeps every other section, key and comment. Bare file names resolve in configDir().

#include <QByteArray>
#include <QString>
#include <vector>

namespace platform {

// $SWITCHER_CONFIG_DIR when set, else $XDG_CONFIG_HOME/switcher-console
// (default ~/.config/switcher-console).
QString configDir();
// Bare file name -> path in configDir(); a path with a '/' is used as given.
QString profilePath(const QString& fileName);

// Copies at most size - 1 characters of the value (a 16-byte buffer keeps 15).
QByteArray GetPrivateProfileString(const QByteArray& section, const QByteArray& key,
                                   const QByteArray& defaultValue, int size,
                                   const QString& fileName);
// As above; *cut tells whether the value was longer than the buffer took.
QByteArray GetPrivateProfileString(const QByteArray& section, const QByteArray& key,
                                   const QByteArray& defaultValue, int size,
                                   const QString& fileName, bool* cut);
// Leading decimal digits of the value (optional sign); defaultValue when the key is absent.
int GetPrivateProfileInt(const QByteArray& section, const QByteArray& key, int defaultValue,
                         const QString& fileName);
// 1/0, true/false, yes/no or on/off in any case; defaultValue when the key is absent or empty.
// Any other value also gives defaultValue, with *ok (when given) false.
bool GetPrivateProfileBool(const QByteArray& section, const QByteArray& key, bool defaultValue,
                           const QString& fileName, bool* ok = nullptr);
// The boolean spelled by text (blanks around it ignored), or -1 when it spells none.
int ParseBool(const QByteArray& text);
// Creates the file and folder as needed; writes atomically. False on failure.
bool WritePrivateProfileString(const QByteArray& section, const QByteArray& key,
                               const QByteArray& value, const QString& fileName);

// A whole section at once, for files that hold lists (one read, one atomic write).
struct ProfileEntry {
  QByteArray key;
  QByteArray value;
};
struct ProfileSection {
  QByteArray name;
  std::vector<ProfileEntry> entries;
};
// Every key of the first section so named, in file order, values read as
// GetPrivateProfileString reads them. Empty when the file or section is absent.
std::vector<ProfileEntry> GetPrivateProfileSection(const QByteArray& section,
                                                   const QString& fileName);
// Replaces each given section's keys with its entries (a section without entries loses its
// header) and keeps everything else, in one atomic write: comments and blank lines, also
// those inside the section, stay, and a key whose value stays keeps its line as it was.
// Keys found again keep their place, new ones follow the section's last key. False on
// failure or on a name, key or value that would break the file's lines.
bool WritePrivateProfileSections(const std::vector<ProfileSection>& sections,
                                 const QString& fileName);

// A file's parsed text is kept while its size, times and inode stay (and a write through
// these functions drops it), so reading many keys of an unchanged file reads it once.
// How many times a settings file was read from disk in this process, for tests.
long ProfileFileReads();

// Device path of COM1..COM4: section "COM", keys "COM1".."COM4" of Switcher.ini,
// defaults /dev/ttyS0../dev/ttyS3. Empty for other numbers.
QString comDevicePath(int port);

}  // namespace platform
