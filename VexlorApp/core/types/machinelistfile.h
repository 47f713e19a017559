#ifndef MACHINELISTFILE_H
#define MACHINELISTFILE_H

#include "vexlortypes.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// The engraver list file "settings.xml": the engravers in display order and
// the selected row, read and written here so that the window only shows what
// happened.
//
// A file that cannot be read whole is never overwritten: it is moved aside
// under a name that says so, and the list goes on from what could be read.
namespace Vexlor {

struct machineListRead
{
    enum Status {
        Missing, // no file yet, as on the first start
        Complete, // read to its end
        Damaged, // unreadable, or not well-formed XML; machines holds what came before the fault
    };
    Status status = Missing;
    QList<vexlorMachine> machines;
    int defaultIndex = 0;
    // What was wrong, for a Damaged file: the system's or the XML reader's words.
    QString problem;
    // One line per token of the document, for the log.
    QStringList log;
};

// Reads the list. Attributes missing or not numbers read as empty, type 0, a
// null address and row 0; elements are found by name at any depth.
machineListRead readMachineList(const QString &path);

// The document: XML 1.0 in UTF-8, indented by four spaces, a ListStart with
// the selected row and one self-closing Machine per engraver with its name,
// address and type, in that order. Characters that XML 1.0 cannot carry
// (control characters other than tab, line feed and carriage return) are left
// out of names.
QByteArray machineListDocument(const QList<vexlorMachine> &machines, int defaultIndex);

// Moves the file to "<path>.unreadable-<yyyyMMdd-hhmmss>" (a number added when
// that exists). Returns the new path, or an empty string with the reason.
QString keepAside(const QString &path, QString *reason = nullptr);

// Writes the list: the folder is made with its parents, a file there that
// cannot be read whole is first kept aside (keptAs then holds where), and the
// new file replaces the old in one step. On failure the old file is unchanged
// and the reason names the system's error.
bool writeMachineList(const QString &path, const QList<vexlorMachine> &machines, int defaultIndex,
    QString *reason = nullptr, QString *keptAs = nullptr);

} // namespace Vexlor

#endif // MACHINELISTFILE_H
