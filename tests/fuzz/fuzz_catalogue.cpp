// The local catalogue is arbitrary bytes: parsing it must not crash and must
// let through only entries with a firmware name, an http(s) address and a
// number; reading it must list only files inside the firmware folder and
// leave the version list sorted newest first with one row per number.
//
// Input: the catalogue file.

#include "cataloguedocument.h"
#include "firmwarestore.h"
#include "fuzzsupport.h"
#include "versioncomboboxmanagement.h"
#include "versionmodel.h"
#include "versionnumber.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cstdio>

namespace {

// Firmware files present in the store, so that entries naming them are listed.
const char *const kPresent[] = {
    "731-001-126-2021-01-22-1628.txt",
    "731-001-127-2021-02-04-1355.txt",
    "731-001-208-2022-01-07-1353.txt",
};

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

[[noreturn]] void fail(const char *what, const QString &detail)
{
    std::fprintf(stderr, "%s: %s\n", what, qPrintable(detail));
    std::abort();
}

QString store()
{
    static const QString dir = [] {
        static int argc = 1;
        static char name[] = "fuzz_catalogue";
        static char *argv[] = {name, nullptr};
        new QCoreApplication(argc, argv);
        QCoreApplication::setOrganizationName(QStringLiteral("nvx-fuzz"));
        QCoreApplication::setApplicationName(QStringLiteral("catalogue"));
        qputenv("XDG_DATA_HOME", QByteArray::fromStdString(fuzz::scratchDir()));
        qInstallMessageHandler(quiet);
        const QString d = VersionComboBoxManagement::firmwareDirectory();
        QDir().mkpath(d);
        return d;
    }();
    return dir;
}

void ensurePresentFiles(const QString &dir)
{
    static const QByteArray image = "@1100\n31 40 00 0A B2 40 80 5A 20 01 FF 3F 30 41 00 00\n"
                                    "@FFFE\n00 11\nq\n";
    for (const char *name : kPresent) {
        QFile f(dir + QLatin1Char('/') + QLatin1String(name));
        if (!f.exists() && f.open(QIODevice::WriteOnly))
            f.write(image);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString dir = store();
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    for (const catalogue::CatalogueEntry &entry : catalogue::parseCatalogue(bytes).entries) {
        const VersionEntry &v = entry.version;
        if (!FirmwareStore::isFirmwareName(v.filename) || !catalogue::isFetchableUrl(QUrl(v.url))
            || !VersionNumber::parse(v.number).isValid())
            fail("unusable entry let through", v.filename + QLatin1Char(' ') + v.url + QLatin1Char(' ') + v.number);
    }
    ensurePresentFiles(dir);
    QFile catalogue(dir + QStringLiteral("/731Versions.json"));
    if (!catalogue.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::abort();
    catalogue.write(reinterpret_cast<const char *>(data), qint64(size));
    catalogue.close();

    VersionModel model;
    VersionComboBoxManagement management(QUrl(QStringLiteral("http://127.0.0.1:9/731")));
    management.refreshLocalValues(&model);

    QString previous;
    for (int row = 0; row < model.rowCount(); ++row) {
        const QModelIndex index = model.index(row);
        const QString number = model.data(index, VersionModel::NumberRole).toString();
        const QString filename = model.data(index, VersionModel::FilenameRole).toString();
        const QString path = model.data(index, VersionModel::PathRole).toString();
        if (row > 0 && compareVersionNumbers(previous, number) >= 0)
            fail("rows unsorted or numbers repeated", number);
        previous = number;
        if (path != dir + QLatin1Char('/') + filename || filename.contains(QLatin1Char('/')))
            fail("listed outside the firmware folder", path);
        if (!QFileInfo(path).isFile())
            fail("listed without its file", path);
    }
    return 0;
}
