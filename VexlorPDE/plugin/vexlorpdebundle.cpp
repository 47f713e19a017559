#include "vexlorpdebundle.h"

#include <QCoreApplication>
#include <QFile>

static void initPdeResources()
{
    Q_INIT_RESOURCE(vexlorpde);
}

VexlorPDEBundle VexlorPDEBundle::bundleForClass()
{
    initPdeResources();
    QVariantMap info;
    info.insert(QStringLiteral("CFBundleIdentifier"), QStringLiteral("com.vexlor.print.pde.VexlorPDE"));
    info.insert(QStringLiteral("CFBundleName"), QStringLiteral("VexlorPDE"));
    info.insert(QStringLiteral("CFBundleHelpBookName"), QStringLiteral("Vexlor Settings Help"));
    info.insert(QStringLiteral("VexlorHelpBookPath"), QStringLiteral(":/VexlorPDE/help/pde.md"));
    return VexlorPDEBundle(info);
}

VexlorPDEBundle::VexlorPDEBundle(const QVariantMap &info)
    : m_info(info)
{
}

QVariant VexlorPDEBundle::objectForInfoDictionaryKey(const QString &key) const
{
    return m_info.value(key);
}

QString VexlorPDEBundle::localizedString(const QString &key) const
{
    return QCoreApplication::translate("VexlorPDE", key.toUtf8().constData());
}

QString VexlorPDEBundle::helpBookPath() const
{
    const QString path = m_info.value(QStringLiteral("VexlorHelpBookPath")).toString();
    return !path.isEmpty() && QFile::exists(path) ? path : QString();
}
