#ifndef VEXLORSETTINGS_H
#define VEXLORSETTINGS_H

#include <QMap>
#include <QMetaType>
#include <QObject>
#include <QString>

// The settings of one job: option keys to their values, all as text.
// A value type that crosses threads in queued signals; copies never carry
// the parent relation.
class vexlorSettings : public QObject
{
    Q_OBJECT
public:
    explicit vexlorSettings(QObject *parent = nullptr);
    vexlorSettings(const vexlorSettings &other);
    ~vexlorSettings() override;

    vexlorSettings &operator=(const vexlorSettings &other);
    void copySettings(const vexlorSettings &other);

    QMap<QString, QString> settings;
};

Q_DECLARE_METATYPE(vexlorSettings)

#endif // VEXLORSETTINGS_H
