#include "demofirmware.h"

#include "titxtimage.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace nvx::demo {

namespace {

constexpr int kVectorCount = 16;            // interrupt vectors at 0xFFE0..0xFFFF
constexpr quint16 kApplicationStart = 0x1100; // reset vector target
constexpr quint16 kHandlersStart = 0x1140;  // one RETI per interrupt handler
constexpr quint16 kRefusedTableStart = 0x2000;
constexpr quint16 kVersionRecord = 0xFFDC;  // major, minor
constexpr quint16 kVectorTable = 0xFFE0;

const char kLineEnd[] = "\r\n"; // as the maker's files have them

void appendWord(QByteArray &bytes, quint16 word)
{
    bytes += static_cast<char>(word & 0xFF);
    bytes += static_cast<char>(word >> 8);
}

QByteArray vectorTable(quint16 firstHandler, quint16 reset)
{
    QByteArray bytes;
    for (int i = 0; i < kVectorCount - 1; ++i)
        appendWord(bytes, quint16(firstHandler + 2 * i));
    appendWord(bytes, reset);
    return bytes;
}

bool writeFile(const QString &name, const QByteArray &bytes, QString *error)
{
    QFile file(name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()
        || !file.flush()) {
        if (error)
            *error = name + QStringLiteral(": ") + file.errorString();
        return false;
    }
    return true;
}

} // namespace

QString DemoVersion::filename() const
{
    return QStringLiteral("731-%1-%2-%3.txt")
        .arg(major, 3, 10, QLatin1Char('0'))
        .arg(minor, 3, 10, QLatin1Char('0'))
        .arg(released.toUTC().toString(QStringLiteral("yyyy-MM-dd-HHmm")));
}

QString DemoVersion::number() const
{
    return QStringLiteral("%1.%2-%3")
        .arg(major, 3, 10, QLatin1Char('0'))
        .arg(minor, 3, 10, QLatin1Char('0'))
        .arg(released.toUTC().toString(QStringLiteral("yyyy-MM-dd-HHmm")));
}

QString DemoVersion::date() const
{
    return released.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:00.000Z"));
}

QString DemoVersion::description() const
{
    return QStringLiteral("version %1.%2").arg(major).arg(minor, 3, 10, QLatin1Char('0'));
}

QByteArray defaultVectors()
{
    return vectorTable(kHandlersStart, kApplicationStart);
}

QByteArray firmwareImage(int major, int minor)
{
    // mov #0x0A00,SP; mov #0x5A80,&WDTCTL; mov #version,R15; jmp $
    QByteArray code = QByteArray::fromHex("3140000A" "B240805A2001" "3F40");
    appendWord(code, quint16((major & 0xFF) << 8 | (minor & 0xFF)));
    code += QByteArray::fromHex("FF3F");

    QByteArray handlers; // RETI for every vector but reset
    for (int i = 0; i < kVectorCount - 1; ++i)
        handlers += QByteArray::fromHex("0013");

    QByteArray versionRecord;
    versionRecord += static_cast<char>(major);
    versionRecord += static_cast<char>(minor);

    return titxt::format({{kApplicationStart, code},
                          {kHandlersStart, handlers},
                          {kVersionRecord, versionRecord},
                          {kVectorTable, defaultVectors()}},
                         kLineEnd);
}

QByteArray passwordFile()
{
    const QByteArray refused = vectorTable(kRefusedTableStart, kRefusedTableStart);
    return titxt::format({{kVectorTable, defaultVectors()}}, kLineEnd)
           + titxt::format({{kVectorTable, refused}}, kLineEnd);
}

QString passwordFileName()
{
    return QStringLiteral("731-0-00-2019-01-01-1200.txt");
}

QByteArray catalogueJson(const QList<DemoVersion> &versions, const QString &baseUrl,
                         const QString &versionsFileLocation, const QString &comment)
{
    QString base = baseUrl;
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    QJsonArray list;
    for (const DemoVersion &v : versions) {
        list.append(QJsonObject{
            {QStringLiteral("filename"), v.filename()},
            {QStringLiteral("number"), v.number()},
            {QStringLiteral("date"), v.date()},
            {QStringLiteral("description"), v.description()},
            {QStringLiteral("url"), base + QLatin1Char('/') + v.filename()},
        });
    }
    const QJsonObject root{
        {QStringLiteral("_comment"), comment},
        {QStringLiteral("versionsFileLocations"), QJsonArray{versionsFileLocation}},
        {QStringLiteral("versions"), list},
    };
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

QList<DemoVersion> demoVersions()
{
    const auto at = [](int y, int mo, int d, int h, int mi) {
        return QDateTime(QDate(y, mo, d), QTime(h, mi), Qt::UTC);
    };
    return {
        {1, 126, at(2021, 1, 22, 16, 28)},
        {1, 207, at(2022, 1, 6, 13, 44)},
        {1, 208, at(2022, 1, 7, 13, 53)},
    };
}

bool writeDemoCatalogue(const QString &outDir, const QString &baseUrl, QString *error)
{
    const QString folder = outDir + QStringLiteral("/731");
    if (!QDir().mkpath(folder)) {
        if (error)
            *error = folder + QStringLiteral(": cannot create folder");
        return false;
    }
    QString base = baseUrl;
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    const QString catalogueBase = base + QStringLiteral("/731");

    const QList<DemoVersion> versions = demoVersions();
    for (const DemoVersion &v : versions) {
        if (!writeFile(folder + QLatin1Char('/') + v.filename(), firmwareImage(v.major, v.minor), error))
            return false;
    }
    return writeFile(folder + QLatin1Char('/') + passwordFileName(), passwordFile(), error)
           && writeFile(folder + QStringLiteral("/731Versions.json"),
                        catalogueJson(versions, catalogueBase, catalogueBase + QStringLiteral("/731Versions.json"),
                                      QStringLiteral("Demo catalogue for the virtual NVX7300")),
                        error);
}

DemoVersion versionFromNumber(const QString &number)
{
    DemoVersion v;
    const QStringList parts = number.split(QLatin1Char('-'));
    const QStringList majorMinor = parts.value(0).split(QLatin1Char('.'));
    if (parts.size() != 5 || majorMinor.size() != 2)
        return v;
    v.major = majorMinor.at(0).toInt();
    v.minor = majorMinor.at(1).toInt();
    v.released = QDateTime::fromString(parts.mid(1).join(QLatin1Char('-')), QStringLiteral("yyyy-MM-dd-HHmm"));
    v.released.setTimeSpec(Qt::UTC);
    return v;
}

bool writeBuiltInSources(const QString &outDir, QString *error)
{
    // The versions published when this build's resources were made.
    static const char *const kPublished[] = {
        "001.126-2021-01-22-1628", "001.127-2021-02-04-1355", "001.128-2021-02-15-1430",
        "001.129-2021-02-17-1507", "001.130-2021-02-24-1712", "001.131-2021-02-25-1927",
        "001.132-2021-03-02-1503", "001.133-2021-03-10-1326", "001.134-2021-03-16-1427",
        "001.135-2021-03-18-1030", "001.136-2021-03-23-1451", "001.137-2021-03-30-1707",
        "001.200-2021-04-02-1711", "001.201-2021-06-17-1040", "001.202-2021-06-17-1114",
        "001.203-2021-06-17-1115", "001.204-2021-06-18-1328", "001.205-2021-06-23-1207",
        "001.206-2021-06-29-1153", "001.207-2022-01-06-1344", "001.208-2022-01-07-1353",
    };
    // Not the catalogue server: the built-in list names where the files were first published.
    const QString archive = QStringLiteral("http://archive.ostrel.example/731");

    QList<DemoVersion> versions;
    for (const char *number : kPublished)
        versions.append(versionFromNumber(QString::fromLatin1(number)));
    const DemoVersion builtIn{1, 10, QDateTime(QDate(2019, 11, 28), QTime(13, 24), Qt::UTC)};

    if (!QDir().mkpath(outDir)) {
        if (error)
            *error = outDir + QStringLiteral(": cannot create folder");
        return false;
    }
    return writeFile(outDir + QStringLiteral("/731Versions.json"),
                     catalogueJson(versions, archive, archive + QStringLiteral("/731Versions.json"),
                                   QStringLiteral("NVX7300 firmware versions")),
                     error)
           && writeFile(outDir + QLatin1Char('/') + passwordFileName(), passwordFile(), error)
           && writeFile(outDir + QLatin1Char('/') + builtIn.filename(), firmwareImage(builtIn.major, builtIn.minor),
                        error);
}

} // namespace nvx::demo
