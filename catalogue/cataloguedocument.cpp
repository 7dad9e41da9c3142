#include "cataloguedocument.h"

#include "cataloguetrust.h"
#include "firmwarestore.h"
#include "versionnumber.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace catalogue {

namespace {

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

// Empty when the entry is usable, otherwise why not.
QString entryProblem(const CatalogueEntry &entry, const QJsonValue &digest)
{
    const VersionEntry &v = entry.version;
    if (!VersionNumber::parse(v.number).isValid())
        return QStringLiteral("whose number does not parse");
    const FirmwareStore::Kind kind = FirmwareStore::classify(v.filename);
    if (kind != FirmwareStore::Kind::Firmware) {
        return QStringLiteral("with unusable file name ") + quoted(v.filename) + QStringLiteral(" (")
               + FirmwareStore::describe(kind) + QLatin1Char(')');
    }
    if (!isFetchableUrl(QUrl(v.url)))
        return QStringLiteral("with unusable url ") + quoted(v.url) + QStringLiteral(" (only http and https)");
    if (!digest.isUndefined() && !isSha256Text(digest.toString()))
        return QStringLiteral("with unusable sha256 ") + quoted(digest.toVariant().toString());
    return QString();
}

} // namespace

bool isFetchableUrl(const QUrl &url)
{
    const QString scheme = url.scheme();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https"))
           && !url.host().isEmpty();
}

QString normalisedUrl(const QUrl &url)
{
    QUrl normal = url.adjusted(QUrl::NormalizePathSegments);
    if ((normal.scheme() == QLatin1String("http") && normal.port() == 80)
        || (normal.scheme() == QLatin1String("https") && normal.port() == 443))
        normal.setPort(-1);
    return normal.toString(QUrl::FullyEncoded);
}

CatalogueDocument parseCatalogue(const QByteArray &bytes)
{
    CatalogueDocument document;
    QJsonParseError parseError{};
    const QJsonDocument json = QJsonDocument::fromJson(bytes, &parseError);
    if (json.isNull() || parseError.error != QJsonParseError::NoError) {
        document.error = QStringLiteral("not JSON (") + parseError.errorString() + QLatin1Char(')');
        return document;
    }
    document.json = true;
    if (!json.isObject()) {
        document.error = QStringLiteral("not a JSON object");
        return document;
    }
    const QJsonObject root = json.object();
    const QJsonValue versions = root.value(QStringLiteral("versions"));
    if (!versions.isArray()) {
        document.error = QStringLiteral("no versions array");
        return document;
    }

    const QJsonValue published = root.value(QStringLiteral("published"));
    if (!published.isUndefined()) {
        document.published = QDateTime::fromString(published.toString(), Qt::ISODate).toUTC();
        if (!document.published.isValid()) {
            document.error = QStringLiteral("unreadable publication time");
            return document;
        }
    }
    const QJsonValue password = root.value(QStringLiteral("passwordSha256"));
    if (!password.isUndefined()) {
        if (!isSha256Text(password.toString())) {
            document.error = QStringLiteral("unusable passwordSha256");
            return document;
        }
        document.passwordSha256 = password.toString().toLower();
    }

    for (const QJsonValue &value : versions.toArray()) {
        const QJsonObject object = value.toObject();
        CatalogueEntry entry;
        VersionEntry &v = entry.version;
        v.filename = object.value(QStringLiteral("filename")).toString();
        v.number = object.value(QStringLiteral("number")).toString();
        v.date = object.value(QStringLiteral("date")).toString();
        v.description = object.value(QStringLiteral("description")).toString();
        v.url = object.value(QStringLiteral("url")).toString();
        const QJsonValue digest = object.value(QStringLiteral("sha256"));
        const QString problem = entryProblem(entry, digest);
        if (!problem.isEmpty()) {
            document.skipped.append(quoted(v.number) + QLatin1Char(' ') + problem);
            continue;
        }
        entry.sha256 = digest.toString().toLower();
        document.entries.append(entry);
    }
    document.ok = true;
    return document;
}

} // namespace catalogue
