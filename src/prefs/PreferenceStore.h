#pragma once
// The per-user preference store: a registration layer of factory defaults beneath the user's own
// values, which persist as an XML property list (mode 0600, written atomically). Safe for any
// number of reader threads and concurrent writers.

#include <QSet>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <mutex>
#include <optional>
#include <shared_mutex>

namespace vesk {

class PreferenceStore {
public:
    // Loads the user's layer from the file, if there is one. A file that is not a property-list
    // dictionary is reported once on the console, kept beside as "<file>.broken", and the store
    // starts empty; nothing is written over it until a setting changes.
    explicit PreferenceStore(QString filePath);

    const QString &filePath() const { return fFilePath; }
    // False when the store has no file to live in (no path could be formed).
    bool isUsable() const { return !fFilePath.isEmpty(); }

    void registerDefaults(const QVariantMap &defaults);
    // Values an administrator set for every account: merged into the registration layer, so that the
    // user's own values still win; the keys are remembered to say where a value comes from.
    void registerAdministratorDefaults(const QVariantMap &defaults);
    // True when the value in effect is the administrator's (the user has none of their own).
    bool isAdministratorValue(const QString &key) const;

    // The value in the user's layer, else the registration layer; none when neither has one.
    std::optional<QVariant> objectForKey(const QString &key) const;
    bool hasUserValue(const QString &key) const;

    // Typed reads with the usual conversions: numbers and texts such as "YES", "1", "true" count as
    // flags; texts are read as numbers up to the first character that does not belong to one.
    bool boolForKey(const QString &key) const;
    double doubleForKey(const QString &key) const;
    float floatForKey(const QString &key) const;
    qint64 integerForKey(const QString &key) const;
    // Texts as stored, numbers as their text; none for any other type or no value.
    std::optional<QString> stringForKey(const QString &key) const;

    // Stores in the user's layer and writes the file. Returns false when the file write failed
    // (the value is kept in memory all the same).
    bool setObject(const QString &key, const QVariant &value);
    bool removeObject(const QString &key);

    // Every key with a value in either layer, user values winning.
    QVariantMap dictionaryRepresentation() const;
    QVariantMap userValues() const;

    // Writes the user's layer to its file now.
    bool synchronize();

    // The conversions that the typed reads apply, for callers holding a value already.
    static bool toBool(const std::optional<QVariant> &value);
    static double toDouble(const std::optional<QVariant> &value);
    static qint64 toInteger(const std::optional<QVariant> &value);
    static std::optional<QString> toString(const std::optional<QVariant> &value);

private:
    bool writeFile();

    QString fFilePath;
    mutable std::shared_mutex fLock; // guards both layers
    std::mutex fFileLock; // one file write at a time, always of the newest values
    QVariantMap fRegistered;
    QSet<QString> fAdministratorKeys;
    QVariantMap fUser;
    bool fKeepBrokenFile = false;
};

} // namespace vesk
