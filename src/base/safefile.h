#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// Writes a whole file so that a power cut or a full disk leaves either the old or the whole new
// content: the bytes go to a temporary file beside it ("<name>.part-<pid>-<n>", made anew: a
// name that is taken goes on to the next number), which is flushed to the disk and only then
// renamed over the old one. Creates missing parent folders. False, with the old file untouched,
// when any byte did not reach the disk. The reason goes to *reason when given (the caller logs
// it), else into a warning.
bool writeFileAtomically(const QString& path, const QByteArray& content, QString* reason = nullptr);

// Writes an INI file that QSettings reads back as exactly these values ("group/key" for keys
// in a group), with the same guarantee as writeFileAtomically. QSettings alone reports success
// on a full disk and leaves an empty file, so the written file is read back before it replaces
// the old one.
bool writeSettingsAtomically(const QString& path, const QVariantMap& values, QString* reason = nullptr);

// Removes from each folder the temporary files that the two writers above (and the statistics
// database, "<name>.db.part") leave when the program is stopped midway (a kill, a power cut),
// and the lock files QSettings leaves beside them ("<name>.part-<pid>-<n>.lock"): their own
// names only, whatever process id they carry, unless it is that of another running
// process of this program (younger than kLeftoverAgeMinutes: a write never takes that long).
// Other files stay. Returns how many were removed; each one is logged.
constexpr int kLeftoverAgeMinutes = 10;
int removeLeftoverTemporaries(const QStringList& folders);

// A file that exists but is not what it should be is kept for a look by hand as
// "<path>.broken-<yyyyMMddhhmmss>" (with "-<n>" behind when that name is taken), byte for byte,
// with a warning naming the copy and why. Both return the kept file's path, empty when nothing
// could be kept; the caller must then leave the file alone.
// Copies: the file stays in place for whatever replaces it.
QString keepBrokenCopy(const QString& path, const QString& why);
// Renames: the file is gone from its name (a database about to be made afresh). Needs no room
// on the disk.
QString setBrokenFileAside(const QString& path, const QString& why);

// Logs the failures to store one file once per change of state: the first failure as an error,
// the first success after failures as a note with how many tries failed, nothing in between. A
// full disk would otherwise log every store, every minute. The error line ends with what becomes
// of what was not stored: by default it waits in memory; a store that drops it says so.
class WriteStateLog {
public:
    explicit WriteStateLog(const QString& what,
                           const QString& consequence = QStringLiteral(
                               "it is kept in memory and stored again once the disk takes it"))
        : m_what(what), m_consequence(consequence)
    {
    }

    void update(bool stored, const QString& detail = QString());
    bool failing() const { return m_failing; }

private:
    QString m_what;
    QString m_consequence;
    bool m_failing = false;
    int m_failures = 0;
};
