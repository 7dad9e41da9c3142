#pragma once

#include <QString>

// The program's files in a folder of the test's own. The program's name
// places its folders (firmware store, password file, backups, update record,
// log) below the data home; a test that sets both never touches the user's.
namespace nvxtest {

// Names this process as the toolkit does at start-up.
void useProgramName();

// useProgramName(), and XDG_DATA_HOME set to path for this process and the
// children it starts from now on.
void useDataHome(const QString &path);

// The folder of a program that runs with dataHome as its data home: its log
// and update record, and the firmware store in "firmware" below it.
QString programFolderIn(const QString &dataHome);

} // namespace nvxtest
