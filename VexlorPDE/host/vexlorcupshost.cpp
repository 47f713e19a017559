#include "vexlorcupshost.h"

#include "vexlorpde.h"
#include "vexlorpdebundle.h"
#include "vexlorpdeview.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSettings>
#include <QStandardPaths>
#include <QTextBrowser>

#include <cmath>
#include <cups/cups.h>
#include <unistd.h>
#include <vector>

// The PPD interface of CUPS is deprecated but is the one that marks choices and
// custom values on a queue's PPD and finds the conflicts between them.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

// The custom values of an option before a change, to put back when the change
// is refused. Strings are owned by the PPD and replaced when marked, so they are
// kept as copies and marked again.
struct CustomSnapshot
{
    ppd_cparam_t *param;
    ppd_cpvalue_t current;
    QByteArray text;
};

bool isText(const ppd_cparam_t *param)
{
    return param->type == PPD_CUSTOM_STRING || param->type == PPD_CUSTOM_PASSWORD
        || param->type == PPD_CUSTOM_PASSCODE;
}

std::vector<CustomSnapshot> snapshotCustom(ppd_file_t *ppd, const char *option)
{
    std::vector<CustomSnapshot> snapshot;
    if (ppd_coption_t *coption = ppdFindCustomOption(ppd, option)) {
        for (ppd_cparam_t *p = ppdFirstCustomParam(coption); p; p = ppdNextCustomParam(coption))
            snapshot.push_back({ p, p->current,
                isText(p) && p->current.custom_string ? QByteArray(p->current.custom_string)
                                                      : QByteArray() });
    }
    return snapshot;
}

QString formatCustom(const ppd_cparam_t *param)
{
    switch (param->type) {
    case PPD_CUSTOM_INT:
        return QString::number(param->current.custom_int);
    case PPD_CUSTOM_REAL:
    case PPD_CUSTOM_CURVE:
    case PPD_CUSTOM_INVCURVE:
        return QString::number(static_cast<double>(param->current.custom_real), 'g', 7);
    case PPD_CUSTOM_POINTS:
        return QString::number(static_cast<double>(param->current.custom_points), 'g', 7);
    case PPD_CUSTOM_STRING:
    case PPD_CUSTOM_PASSWORD:
    case PPD_CUSTOM_PASSCODE:
        return QString::fromUtf8(param->current.custom_string ? param->current.custom_string : "");
    default:
        return QString();
    }
}

} // namespace

std::unique_ptr<VexlorCupsHost> VexlorCupsHost::forQueue(const QString &queue, QString *error)
{
    const char *ppdPath = cupsGetPPD2(CUPS_HTTP_DEFAULT, queue.toUtf8().constData());
    if (!ppdPath) {
        if (error)
            *error = QStringLiteral("Cannot get the PPD of the queue \"%1\": %2")
                         .arg(queue, QString::fromUtf8(cupsLastErrorString()));
        return nullptr;
    }
    const QByteArray path(ppdPath);
    ppd_file_t *ppd = ppdOpenFile(path.constData());
    unlink(path.constData());
    if (!ppd) {
        if (error)
            *error = QStringLiteral("The PPD of the queue \"%1\" cannot be read").arg(queue);
        return nullptr;
    }
    std::unique_ptr<VexlorCupsHost> host(new VexlorCupsHost(ppd, queue, queue));
    if (!host->m_loadQueueOptions(error))
        return nullptr;
    return host;
}

std::unique_ptr<VexlorCupsHost> VexlorCupsHost::forPPDFile(
    const QString &path, const QString &queue, QString *error)
{
    ppd_file_t *ppd = ppdOpenFile(QFile::encodeName(path).constData());
    if (!ppd) {
        int line = 0;
        const ppd_status_t status = ppdLastError(&line);
        if (error)
            *error = QStringLiteral("Cannot read the PPD file \"%1\": %2 (line %3)")
                         .arg(path, QString::fromUtf8(ppdErrorString(status)))
                         .arg(line);
        return nullptr;
    }
    const QString group
        = queue.isEmpty() ? QStringLiteral("ppd-") + QFileInfo(path).completeBaseName() : queue;
    std::unique_ptr<VexlorCupsHost> host(new VexlorCupsHost(ppd, queue, group));
    if (!queue.isEmpty() && !host->m_loadQueueOptions(error))
        return nullptr;
    return host;
}

VexlorCupsHost::VexlorCupsHost(ppd_file_t *ppd, const QString &queue, const QString &settingsGroup)
    : m_ppd(ppd)
    , m_queue(queue)
    , m_settingsGroup(settingsGroup)
{
    ppdMarkDefaults(m_ppd);
    m_loadPrintSettings();
}

VexlorCupsHost::~VexlorCupsHost()
{
    ppdClose(m_ppd);
}

bool VexlorCupsHost::m_loadQueueOptions(QString *error)
{
    cups_dest_t *dest = cupsGetNamedDest(CUPS_HTTP_DEFAULT, m_queue.toUtf8().constData(), nullptr);
    if (!dest) {
        if (error)
            *error = QStringLiteral("There is no queue \"%1\": %2")
                         .arg(m_queue, QString::fromUtf8(cupsLastErrorString()));
        return false;
    }
    cupsMarkOptions(m_ppd, dest->num_options, dest->options);
    cupsFreeDests(1, dest);
    return true;
}

bool VexlorCupsHost::willChangePPDOptionKeyValue(const QString &key, const QString &choice)
{
    const QByteArray option = key.toLatin1();
    if (option.startsWith("Custom") && ppdFindCustomOption(m_ppd, option.constData() + 6))
        return m_markCustomValue(option.mid(6), choice);

    ppd_option_t *o = ppdFindOption(m_ppd, option.constData());
    if (!o)
        return m_refuse(QStringLiteral("the PPD has no option %1").arg(key));
    const QByteArray keyword = choice.toLatin1();
    if (!ppdFindChoice(o, keyword.constData()))
        return m_refuse(QStringLiteral("%1 is not a choice of %2").arg(choice, key));
    return m_mark(option, keyword);
}

bool VexlorCupsHost::m_markCustomValue(const QByteArray &option, const QString &value)
{
    ppd_coption_t *coption = ppdFindCustomOption(m_ppd, option.constData());
    ppd_cparam_t *param = ppdFirstCustomParam(coption);
    if (!param || ppdNextCustomParam(coption))
        return m_refuse(QStringLiteral("%1 takes no single custom value").arg(QString::fromLatin1(option)));

    const QString text = value.trimmed();
    const QLocale c = QLocale::c();
    bool ok = false;
    QString normalised = text;
    switch (param->type) {
    case PPD_CUSTOM_INT: {
        const long v = c.toLong(text, &ok);
        ok = ok && v >= param->minimum.custom_int && v <= param->maximum.custom_int;
        normalised = QString::number(v);
        break;
    }
    case PPD_CUSTOM_REAL:
    case PPD_CUSTOM_CURVE:
    case PPD_CUSTOM_INVCURVE: {
        const double v = c.toDouble(text, &ok);
        ok = ok && std::isfinite(v) && v >= param->minimum.custom_real && v <= param->maximum.custom_real;
        break;
    }
    case PPD_CUSTOM_POINTS: {
        const double v = c.toDouble(text, &ok);
        ok = ok && std::isfinite(v) && v >= param->minimum.custom_points && v <= param->maximum.custom_points;
        break;
    }
    case PPD_CUSTOM_STRING:
    case PPD_CUSTOM_PASSWORD:
    case PPD_CUSTOM_PASSCODE:
        ok = text.size() >= param->minimum.custom_string && text.size() <= param->maximum.custom_string;
        break;
    default:
        break;
    }
    if (!ok)
        return m_refuse(QStringLiteral("%1 is not a value of %2 (%3)")
                            .arg(value, QString::fromLatin1(option), QString::fromUtf8(param->text)));
    return m_mark(option, "Custom." + normalised.toUtf8());
}

bool VexlorCupsHost::m_mark(const QByteArray &option, const QByteArray &choice)
{
    const int conflictsBefore = ppdConflicts(m_ppd);
    ppd_choice_t *marked = ppdFindMarkedChoice(m_ppd, option.constData());
    const QByteArray previous = marked ? QByteArray(marked->choice) : QByteArray();
    const std::vector<CustomSnapshot> custom = snapshotCustom(m_ppd, option.constData());

    if (ppdMarkOption(m_ppd, option.constData(), choice.constData()) > conflictsBefore) {
        // Put back what was marked; the custom values go back with it.
        if (!previous.isEmpty())
            ppdMarkOption(m_ppd, option.constData(), previous.constData());
        for (const CustomSnapshot &s : custom) {
            if (!isText(s.param))
                s.param->current = s.current;
            else if (custom.size() == 1 && previous == "Custom")
                ppdMarkOption(m_ppd, option.constData(), ("Custom." + s.text).constData());
        }
        ppdConflicts(m_ppd);
        return m_refuse(QStringLiteral("%1=%2 conflicts with another choice")
                            .arg(QString::fromLatin1(option), QString::fromLatin1(choice)));
    }
    const QString name = QString::fromLatin1(option);
    if (!m_touched.contains(name))
        m_touched.append(name);
    m_lastRefusal.clear();
    if (m_changeListener)
        m_changeListener();
    return true;
}

bool VexlorCupsHost::m_refuse(const QString &reason)
{
    m_lastRefusal = reason;
    return false;
}

ppd_file_t *VexlorCupsHost::ppdFile()
{
    return m_ppd;
}

bool VexlorCupsHost::hasPrintSettings() const
{
    return true;
}

int VexlorCupsHost::printSettingsGetValue(const QString &key, QString *value) const
{
    const auto it = m_printSettings.constFind(key);
    if (it == m_printSettings.constEnd())
        return KeyNotFound;
    if (value)
        *value = it.value();
    return NoErr;
}

int VexlorCupsHost::printSettingsSetValue(const QString &key, const QString &value)
{
    m_printSettings.insert(key, value);
    return NoErr;
}

QWidget *VexlorCupsHost::loadInterface(const QString &name, VexlorPDE *owner)
{
    return VexlorPDEView::loadInterface(name, owner);
}

bool VexlorCupsHost::registerHelpBook(const QString &bookName)
{
    if (bookName.isEmpty() || VexlorPDEBundle::bundleForClass().helpBookPath().isEmpty())
        return false;
    m_helpBook = bookName;
    return true;
}

void VexlorCupsHost::openHelpAnchor(const QString &anchor, const QString &bookName)
{
    QFile help(VexlorPDEBundle::bundleForClass().helpBookPath());
    if (bookName != m_helpBook || !help.open(QIODevice::ReadOnly))
        return;
    auto *viewer = new QTextBrowser;
    viewer->setAttribute(Qt::WA_DeleteOnClose);
    viewer->setWindowTitle(bookName);
    viewer->setMarkdown(QString::fromUtf8(help.readAll()));
    viewer->resize(640, 560);
    viewer->scrollToAnchor(anchor);
    viewer->show();
}

QMap<QString, QString> VexlorCupsHost::acceptedOptions() const
{
    QMap<QString, QString> options;
    for (const QString &name : m_touched) {
        const QByteArray option = name.toLatin1();
        ppd_choice_t *marked = ppdFindMarkedChoice(m_ppd, option.constData());
        if (!marked)
            continue;
        QString value = QString::fromLatin1(marked->choice);
        if (value == QLatin1String("Custom")) {
            ppd_cparam_t *param = ppdFirstCustomParam(ppdFindCustomOption(m_ppd, option.constData()));
            if (!param)
                continue;
            value += QLatin1Char('.') + formatCustom(param);
        }
        options.insert(name, value);
    }
    return options;
}

QStringList VexlorCupsHost::acceptedOptionArguments() const
{
    QStringList words;
    const QMap<QString, QString> options = acceptedOptions();
    for (auto it = options.constBegin(); it != options.constEnd(); ++it)
        words << it.key() + QLatin1Char('=') + it.value();
    return words;
}

bool VexlorCupsHost::saveQueueOptions(QString *error)
{
    if (m_queue.isEmpty()) {
        if (error)
            *error = QStringLiteral("No queue to store the options for");
        return false;
    }
    const QByteArray queue = m_queue.toUtf8();
    cups_dest_t *dests = nullptr;
    int count = cupsGetDests2(CUPS_HTTP_DEFAULT, &dests);
    cups_dest_t *dest = cupsGetDest(queue.constData(), nullptr, count, dests);
    if (!dest) {
        if (cups_dest_t *named = cupsGetNamedDest(CUPS_HTTP_DEFAULT, queue.constData(), nullptr)) {
            count = cupsCopyDest(named, count, &dests);
            cupsFreeDests(1, named);
            dest = cupsGetDest(queue.constData(), nullptr, count, dests);
        }
    }
    if (!dest) {
        cupsFreeDests(count, dests);
        if (error)
            *error = QStringLiteral("There is no queue \"%1\"").arg(m_queue);
        return false;
    }
    const QMap<QString, QString> options = acceptedOptions();
    for (auto it = options.constBegin(); it != options.constEnd(); ++it)
        dest->num_options = cupsAddOption(it.key().toUtf8().constData(), it.value().toUtf8().constData(),
            dest->num_options, &dest->options);
    const bool saved = cupsSetDests2(CUPS_HTTP_DEFAULT, count, dests) == 0;
    cupsFreeDests(count, dests);
    if (!saved && error)
        *error = QStringLiteral("Cannot store the options of \"%1\": %2")
                     .arg(m_queue, QString::fromUtf8(cupsLastErrorString()));
    return saved;
}

QString VexlorCupsHost::printSettingsPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1Char('/')
        + VexlorPDE::panelKindIdentifier() + QStringLiteral("/printsettings.ini");
}

void VexlorCupsHost::m_loadPrintSettings()
{
    QSettings file(printSettingsPath(), QSettings::IniFormat);
    file.beginGroup(m_settingsGroup);
    for (const QString &key : file.childKeys())
        m_printSettings.insert(key, file.value(key).toString());
}

bool VexlorCupsHost::savePrintSettings(QString *error)
{
    const QString path = printSettingsPath();
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        if (error)
            *error = QStringLiteral("Cannot create the folder of %1").arg(path);
        return false;
    }
    QSettings file(path, QSettings::IniFormat);
    file.beginGroup(m_settingsGroup);
    for (auto it = m_printSettings.constBegin(); it != m_printSettings.constEnd(); ++it)
        file.setValue(it.key(), it.value());
    file.endGroup();
    file.sync();
    if (file.status() != QSettings::NoError) {
        if (error)
            *error = QStringLiteral("Cannot write %1").arg(path);
        return false;
    }
    return true;
}
