#pragma once
// The accepted values of the number preferences. One check per family, used wherever a value comes
// in (setValue, Import Settings, the earlier uploader's file, the panel), so that a mistyped value can
// never make the purge delete every picture or the rescan timer run wild.

#include <QString>
#include <QVariant>

#include <optional>

namespace vesk::prefvalues {

inline constexpr qint64 kMinDaysOld = 1;
inline constexpr qint64 kMaxDaysOld = 36500; // a hundred years
inline constexpr double kMinSecondsBetweenScans = 1.0;
inline constexpr double kMaxSecondsBetweenScans = 2147483.0; // the timer's limit, in whole seconds

// A number as typed: the whole text is digits with an optional fraction ([0-9]+(\.[0-9]+)?); nothing
// else (no sign, blanks, exponent, hexadecimal, "inf"). Stored numbers are taken as they are, when
// finite; flags and other types are no number.
std::optional<double> strictNumber(const QVariant &value);

// prefDaysOldBeforeDeleting: a number truncated to whole days (7.9 keeps 7; a text is cut at its point,
// never rounded), in 1..36500.
std::optional<qint64> daysOldBeforeDeleting(const QVariant &value);
// prefSecondsBetweenScans: a number of seconds (fractions allowed) in 1..2,147,483.
std::optional<double> secondsBetweenScans(const QVariant &value);

// The value to store under the key (exact name): checked and normalised for the number keys, as it
// is for any other key. None when it is refused, with a line for the log in *why.
std::optional<QVariant> checkedValue(const QString &key, const QVariant &value, QString *why = nullptr);

} // namespace vesk::prefvalues
