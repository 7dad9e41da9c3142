#include "publisher.h"

#include "cataloguetrust.h"
#include "firmwarecheck.h"
#include "httpfileserver.h"
#include "scramblekey.h"
#include "signingkey.h"
#include "versioncomboboxmanagement.h"
#include "versionmodel.h"

#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QHostAddress>
#include <QNetworkProxy>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include <algorithm>

namespace publish {

namespace {

const QString kCatalogueName = QStringLiteral("731Versions.json");
const QString kSignatureName = QStringLiteral("731Versions.json.sig");
constexpr int kReadBackMs = 30000; // the whole read-back, downloads included

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

QString trimmedBase(const QString &baseUrl)
{
    QString base = baseUrl;
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    return base;
}

bool readFile(const QString &path, QByteArray *bytes, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        setError(error, path + QStringLiteral(": ") + file.errorString());
        return false;
    }
    *bytes = file.readAll();
    return true;
}

bool writeFile(const QString &path, const QByteArray &bytes, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        setError(error, path + QStringLiteral(": ") + file.errorString());
        return false;
    }
    return true;
}

QByteArray readFileOrEmpty(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool isPlainText(const QByteArray &bytes)
{
    return std::none_of(bytes.cbegin(), bytes.cend(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

// Collects what the catalogue logs during the read-back, to explain a failure.
QStringList *collectedLog = nullptr;
void collectMessage(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (collectedLog && type != QtDebugMsg)
        collectedLog->append(text);
}

} // namespace

bool parseFirmwareName(const QString &filename, FirmwareName *out)
{
    static const QRegularExpression rule(
        QStringLiteral("^731-(\\d{3})-(\\d{3})-(\\d{4}-\\d{2}-\\d{2})-(\\d{2})(\\d{2})\\.txt$"));
    const QRegularExpressionMatch match = rule.match(filename);
    if (!match.hasMatch())
        return false;
    const QDateTime released = QDateTime::fromString(match.captured(3) + QLatin1Char(' ') + match.captured(4)
                                                         + QLatin1Char(':') + match.captured(5),
                                                     QStringLiteral("yyyy-MM-dd HH:mm"));
    if (!released.isValid())
        return false;
    if (out) {
        out->filename = filename;
        out->number = match.captured(1) + QLatin1Char('.') + match.captured(2) + QLatin1Char('-') + match.captured(3)
                      + QLatin1Char('-') + match.captured(4) + match.captured(5);
        out->date = match.captured(3) + QLatin1Char('T') + match.captured(4) + QLatin1Char(':') + match.captured(5)
                    + QStringLiteral(":00.000Z");
        out->description = QStringLiteral("version %1.%2").arg(match.captured(1).toInt()).arg(match.captured(2));
    }
    return true;
}

QString passwordFileName()
{
    return QStringLiteral("731-0-00-2019-01-01-1200.txt");
}

bool publishFolder(const QString &inputDir, const QString &outputDir, const QString &baseUrl,
                   const SigningKey &key, Publication *result, QString *error, const QDateTime &publishedAt)
{
    if (!key.isValid()) {
        setError(error, QStringLiteral("no usable signing key"));
        return false;
    }
    const QUrl base(trimmedBase(baseUrl), QUrl::StrictMode);
    if (!base.isValid() || (base.scheme() != QLatin1String("http") && base.scheme() != QLatin1String("https"))
        || base.host().isEmpty()) {
        setError(error, QStringLiteral("the base URL must be an http URL such as http://host/731"));
        return false;
    }
    const QDir input(inputDir);
    if (!input.exists()) {
        setError(error, inputDir + QStringLiteral(": no such folder"));
        return false;
    }

    struct Item
    {
        FirmwareName name;
        QByteArray scrambled;
    };
    QList<Item> items;
    bool hasPassword = false;
    for (const QString &fileName : input.entryList(QDir::Files, QDir::Name)) {
        if (fileName == passwordFileName()) {
            hasPassword = true;
            continue;
        }
        Item item;
        if (!parseFirmwareName(fileName, &item.name)) {
            setError(error, fileName + QStringLiteral(": not named 731-MMM-NNN-YYYY-MM-DD-hhmm.txt"));
            return false;
        }
        QByteArray plain;
        if (!readFile(input.filePath(fileName), &plain, error))
            return false;
        if (!isPlainText(plain)) {
            setError(error, fileName + QStringLiteral(": not plain TI-TXT (already scrambled?)"));
            return false;
        }
        const bsl::FirmwareCheck check = bsl::checkFirmwareText(plain);
        if (!check.ok) {
            setError(error, fileName + QStringLiteral(": ") + check.reason);
            return false;
        }
        item.scrambled = bsl::scrambleText(plain);
        items.append(item);
    }
    if (items.isEmpty()) {
        setError(error, inputDir + QStringLiteral(": no firmware files"));
        return false;
    }
    // Newest first; the numbers compare as text by major, minor and time.
    std::sort(items.begin(), items.end(), [](const Item &a, const Item &b) { return a.name.number > b.name.number; });

    if (!QDir().mkpath(outputDir)) {
        setError(error, outputDir + QStringLiteral(": cannot create folder"));
        return false;
    }
    const QDir output(outputDir);
    const QString urlBase = base.toString();
    QJsonArray versions;
    QStringList published;
    for (const Item &item : qAsConst(items)) {
        if (!writeFile(output.filePath(item.name.filename), item.scrambled, error))
            return false;
        versions.append(QJsonObject{
            {QStringLiteral("filename"), item.name.filename},
            {QStringLiteral("number"), item.name.number},
            {QStringLiteral("date"), item.name.date},
            {QStringLiteral("description"), item.name.description},
            {QStringLiteral("url"), urlBase + QLatin1Char('/') + item.name.filename},
            {QStringLiteral("sha256"), catalogue::sha256Hex(item.scrambled)},
        });
        published.append(item.name.filename);
    }
    QJsonObject root{
        {QStringLiteral("_comment"), QStringLiteral("NVX7300 firmware versions")},
        {QStringLiteral("versionsFileLocations"), QJsonArray{urlBase + QLatin1Char('/') + kCatalogueName}},
        {QStringLiteral("versions"), versions},
        // Signed with the rest: a program that holds this catalogue refuses older ones.
        {QStringLiteral("published"),
         (publishedAt.isValid() ? publishedAt : QDateTime::currentDateTimeUtc()).toUTC().toString(Qt::ISODate)},
    };
    if (hasPassword) {
        QByteArray password;
        if (!readFile(input.filePath(passwordFileName()), &password, error))
            return false;
        QString reason;
        if (!catalogue::checkPasswordFile(password, &reason)) {
            setError(error, passwordFileName() + QStringLiteral(": ") + reason);
            return false;
        }
        if (!writeFile(output.filePath(passwordFileName()), password, error))
            return false;
        root.insert(QStringLiteral("passwordSha256"), catalogue::sha256Hex(password));
    }

    const QByteArray json = QJsonDocument(root).toJson(QJsonDocument::Indented);
    const QByteArray signature = key.sign(json);
    if (signature.isEmpty()) {
        setError(error, QStringLiteral("signing failed"));
        return false;
    }
    // The signature last: until it is there the new catalogue is not accepted.
    if (!writeFile(output.filePath(kCatalogueName), json, error)
        || !writeFile(output.filePath(kSignatureName), catalogue::signatureFileText(signature), error))
        return false;

    if (result) {
        result->published = published;
        result->passwordCopied = hasPassword;
    }
    return true;
}

bool readBack(const QString &outputDir, const QString &baseUrl, const QByteArray &publicKey,
              const QStringList &expectedFiles, QString *error)
{
    const QUrl base(trimmedBase(baseUrl));
    QTemporaryDir root;
    QTemporaryDir store;
    if (!root.isValid() || !store.isValid()) {
        setError(error, QStringLiteral("no scratch folder for the read-back"));
        return false;
    }
    // The server's folder for the base URL's path holds a copy of the output.
    const QString served = root.path() + base.path();
    QDir().mkpath(served);
    for (const QString &name : QDir(outputDir).entryList(QDir::Files)) {
        if (!QFile::copy(QDir(outputDir).filePath(name), served + QLatin1Char('/') + name)) {
            setError(error, name + QStringLiteral(": cannot copy for the read-back"));
            return false;
        }
    }
    // Requests for the published addresses reach this server as a proxy. An
    // address on this machine never goes through a proxy: the server listens
    // on its port instead or, when a server already runs there (one that
    // serves the output), the read-back asks that one.
    const QHostAddress host(base.host());
    const bool local = base.host() == QLatin1String("localhost") || (!host.isNull() && host.isLoopback());
    nvx::HttpFileServer server(root.path());
    const bool listening = server.listen(local ? quint16(base.port(80)) : 0);
    if (!listening && !local) {
        setError(error, QStringLiteral("cannot listen on 127.0.0.1 for the read-back"));
        return false;
    }
    const QNetworkProxy previousProxy = QNetworkProxy::applicationProxy();
    if (!local) {
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"),
                                                         server.port()));
    }
    QStringList log;
    collectedLog = &log;
    const QtMessageHandler previousHandler = qInstallMessageHandler(collectMessage);

    VersionModel model;
    QString problem;
    {
        VersionComboBoxManagement catalogue(base);
        catalogue.setPublicKey(publicKey);
        catalogue.setFirmwareDirectory(store.path());
        catalogue.refreshValues(&model);

        if (catalogue.isRefreshing()) {
            QEventLoop loop;
            QObject::connect(&catalogue, &VersionComboBoxManagement::refreshSettled, &loop, &QEventLoop::quit);
            QTimer::singleShot(kReadBackMs, &loop, &QEventLoop::quit);
            loop.exec();
        }
        if (catalogue.isRefreshing())
            problem = QStringLiteral("the read-back did not finish within %1 ms").arg(kReadBackMs);
    }

    qInstallMessageHandler(previousHandler);
    collectedLog = nullptr;
    QNetworkProxy::setApplicationProxy(previousProxy);

    QStringList listed;
    for (int row = 0; row < model.rowCount(); ++row)
        listed.append(model.myData(row, 0).toString());
    if (problem.isEmpty() && listed != expectedFiles) {
        problem = QStringLiteral("the catalogue lists [%1] instead of [%2]")
                      .arg(listed.join(QStringLiteral(", ")), expectedFiles.join(QStringLiteral(", ")));
    }
    for (int row = 0; row < model.rowCount() && problem.isEmpty(); ++row) {
        QByteArray stored;
        QByteArray publishedBytes;
        if (!readFile(model.myData(row, 6).toString(), &stored, &problem)
            || !readFile(QDir(outputDir).filePath(listed.at(row)), &publishedBytes, &problem))
            break;
        if (stored != publishedBytes)
            problem = listed.at(row) + QStringLiteral(": downloaded bytes differ from the published file");
    }
    // A published password file must have replaced the built-in one.
    const QString publishedPassword = QDir(outputDir).filePath(passwordFileName());
    if (problem.isEmpty() && QFile::exists(publishedPassword)
        && readFileOrEmpty(QDir(store.path()).filePath(passwordFileName()))
               != readFileOrEmpty(publishedPassword))
        problem = passwordFileName() + QStringLiteral(": the read-back kept another password file");
    if (problem.isEmpty())
        return true;
    if (!log.isEmpty())
        problem += QStringLiteral("; catalogue log: ") + log.join(QStringLiteral(" | "));
    setError(error, problem);
    return false;
}

} // namespace publish
