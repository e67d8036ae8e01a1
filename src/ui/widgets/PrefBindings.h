#pragma once
// Binds the widgets of a window to the preference store. A widget takes part when it carries the
// dynamic property "prefKey": an edit is stored at once (text fields on every change, check boxes
// as flags, spin boxes as numbers) and refresh() shows the store's current values. A label with
// "prefTransformer" = "LoginNameToFtpName" shows the site address of the key's value and follows
// every edit of that key as it is typed; a text field with "prefEmptyValue" shows that stored
// value (in any letter case) as an empty field. Main thread.

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <vector>

namespace vesk {

class PreferenceStore;

class PrefBindings : public QObject {
    Q_OBJECT
public:
    PrefBindings(PreferenceStore &store, QWidget *root, QObject *parent = nullptr);

    // Shows the store's values in every bound widget; stores nothing.
    void refresh();
    QStringList boundKeys() const;

private:
    void bind(QWidget *widget, const QString &key);
    void show(QWidget *widget, const QString &key);
    void store(QWidget *origin, const QString &key, const QVariant &value);

    PreferenceStore &fStore;
    std::vector<QPointer<QWidget>> fWidgets;
};

} // namespace vesk
