#ifndef VEXLORPDEBUNDLE_H
#define VEXLORPDEBUNDLE_H

#include <QString>
#include <QVariantMap>

// The panel's own resources: its information dictionary (identifier, help book)
// and its localized strings.
class VexlorPDEBundle
{
public:
    // The bundle the panel ships with: the dictionary compiled into the library.
    static VexlorPDEBundle bundleForClass();

    explicit VexlorPDEBundle(const QVariantMap &info = QVariantMap());

    // A value of the information dictionary; invalid when the key is absent.
    QVariant objectForInfoDictionaryKey(const QString &key) const;
    // The translation of a key of the panel's strings; the key itself when there
    // is no translation.
    QString localizedString(const QString &key) const;
    // The help book shipped with the panel (a resource path), empty when none.
    QString helpBookPath() const;

private:
    QVariantMap m_info;
};

#endif // VEXLORPDEBUNDLE_H
