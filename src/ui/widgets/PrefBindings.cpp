#include "ui/widgets/PrefBindings.h"

#include "diag/Console.h"
#include "prefs/LoginNameToFtpNameTransformer.h"
#include "prefs/PrefValues.h"
#include "prefs/PreferenceStore.h"

#include <QAbstractButton>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QSpinBox>

#include <algorithm>

namespace vesk {

namespace {
QString keyOf(const QWidget *widget)
{
    return widget ? widget->property("prefKey").toString() : QString();
}

// A value in effect that the administrator set for every account says so in its tool tip.
void noteOrigin(QWidget *widget, const QString &plainTip, bool administrator)
{
    static const QString note = QStringLiteral("Set by your administrator for every account; a change here is yours.");
    widget->setToolTip(administrator ? (plainTip.isEmpty() ? note : plainTip + QLatin1Char('\n') + note) : plainTip);
}

bool isSiteLabel(const QWidget *widget)
{
    return widget->property("prefTransformer").toString()
        == QLatin1String(LoginNameToFtpNameTransformer::kRegisteredName);
}
} // namespace

PrefBindings::PrefBindings(PreferenceStore &store, QWidget *root, QObject *parent)
    : QObject(parent)
    , fStore(store)
{
    if (!root)
        return;
    const QList<QWidget *> widgets = root->findChildren<QWidget *>();
    for (QWidget *widget : widgets) {
        const QString key = keyOf(widget);
        if (!key.isEmpty())
            bind(widget, key);
    }
}

QStringList PrefBindings::boundKeys() const
{
    QStringList keys;
    for (const QPointer<QWidget> &widget : fWidgets) {
        const QString key = keyOf(widget);
        if (!key.isEmpty() && !keys.contains(key))
            keys.append(key);
    }
    return keys;
}

void PrefBindings::bind(QWidget *widget, const QString &key)
{
    fWidgets.emplace_back(widget);
    widget->setProperty("prefPlainToolTip", widget->toolTip());
    // Only the user's own edits are stored: the signals below do not fire for refresh().
    if (auto *edit = qobject_cast<QLineEdit *>(widget)) {
        if (!edit->isReadOnly())
            connect(
                edit, &QLineEdit::textEdited, this, [this, edit, key](const QString &text) { store(edit, key, text); });
    } else if (auto *button = qobject_cast<QAbstractButton *>(widget)) {
        connect(button, &QAbstractButton::clicked, this,
            [this, button, key](bool checked) { store(button, key, checked); });
    } else if (auto *real = qobject_cast<QDoubleSpinBox *>(widget)) {
        connect(
            real, &QDoubleSpinBox::valueChanged, this, [this, real, key](double value) { store(real, key, value); });
    } else if (auto *integer = qobject_cast<QSpinBox *>(widget)) {
        connect(integer, &QSpinBox::valueChanged, this,
            [this, integer, key](int value) { store(integer, key, static_cast<qlonglong>(value)); });
    }
}

void PrefBindings::store(QWidget *origin, const QString &key, const QVariant &value)
{
    // The same check as setValue and Import Settings: a refused value is not stored, and the field
    // shows the stored one again.
    QString why;
    const std::optional<QVariant> checked = prefvalues::checkedValue(key, value, &why);
    if (!checked) {
        consoleLog(why);
        show(origin, key);
        return;
    }
    fStore.setObject(key, *checked);
    noteOrigin(origin, origin->property("prefPlainToolTip").toString(), fStore.isAdministratorValue(key));
    // Other views of the same key (the site address under the login name) follow at once.
    for (const QPointer<QWidget> &widget : fWidgets) {
        if (widget && widget != origin && keyOf(widget) == key)
            show(widget, key);
    }
}

void PrefBindings::refresh()
{
    for (const QPointer<QWidget> &widget : fWidgets) {
        if (widget)
            show(widget, keyOf(widget));
    }
}

void PrefBindings::show(QWidget *widget, const QString &key)
{
    // Spin boxes and check boxes would report a programmatic change as an edit.
    const QSignalBlocker blocker(widget);
    QString plainTip = widget->property("prefPlainToolTip").toString();
    if (auto *edit = qobject_cast<QLineEdit *>(widget)) {
        QString text = fStore.stringForKey(key).value_or(QString());
        // A stored value that means "nothing entered yet" shows as an empty field.
        const QString emptyValue = edit->property("prefEmptyValue").toString();
        if (!emptyValue.isEmpty() && text.compare(emptyValue, Qt::CaseInsensitive) == 0)
            text.clear();
        if (edit->text() != text)
            edit->setText(text);
        if (edit->isReadOnly())
            plainTip = text;
    } else if (auto *label = qobject_cast<QLabel *>(widget)) {
        const std::optional<QString> value = fStore.stringForKey(key);
        label->setText(
            isSiteLabel(label) ? LoginNameToFtpNameTransformer::transformedValue(value) : value.value_or(QString()));
    } else if (auto *button = qobject_cast<QAbstractButton *>(widget)) {
        button->setChecked(fStore.boolForKey(key));
    } else if (auto *real = qobject_cast<QDoubleSpinBox *>(widget)) {
        real->setValue(fStore.doubleForKey(key));
    } else if (auto *integer = qobject_cast<QSpinBox *>(widget)) {
        const qint64 days = std::clamp<qint64>(fStore.integerForKey(key), integer->minimum(), integer->maximum());
        integer->setValue(static_cast<int>(days));
    }
    noteOrigin(widget, plainTip, fStore.isAdministratorValue(key));
}

} // namespace vesk
