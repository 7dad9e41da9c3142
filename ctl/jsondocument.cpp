#include "jsondocument.h"

#include "firmwarestore.h"
#include "updaterecord.h"
#include "versionnumber.h"

#include <QFileInfo>
#include <QJsonDocument>

namespace nvxctl::jsondocument {

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

void putVersion(QJsonObject &object, const QString &key, const QString &text, bool withState)
{
    const bool isVersion = VersionNumber::parse(text).isValid();
    object.insert(key, isVersion ? QJsonValue(text) : QJsonValue(QJsonValue::Null));
    if (withState)
        object.insert(QStringLiteral("state"), isVersion ? QJsonValue(QJsonValue::Null) : textOrNull(text));
}

QString versionOfNumber(const QString &number)
{
    const VersionNumber parsed = VersionNumber::parse(number);
    return parsed.isValid() ? QStringLiteral("%1.%2").arg(parsed.major).arg(parsed.minor) : QString();
}

QString numberOfFirmwareFile(const QString &fileName)
{
    const QString name = QFileInfo(fileName).fileName();
    const QString release = FirmwareStore::versionOfFirmwareFile(name); // "001.208"
    constexpr int kStampAt = 12;     // "731-001-208-" comes first
    constexpr int kStampLength = 15; // "2022-01-07-1353"
    return release.isEmpty() ? QString() : release + QLatin1Char('-') + name.mid(kStampAt, kStampLength);
}

QJsonObject fromRecord(const UpdateRecord &record)
{
    QJsonObject object = record.toJson();
    putVersion(object, QStringLiteral("versionBefore"), record.versionBefore, true);
    putVersion(object, QStringLiteral("versionAfter"), record.versionAfter, false);
    object.insert(QStringLiteral("versionNumber"), textOrNull(numberOfFirmwareFile(record.firmwareFile)));
    return object;
}

QString text(QJsonObject fields, int exitStatus, const QString &error, bool afterStreamed)
{
    fields.insert(QStringLiteral("exitStatus"), exitStatus);
    QJsonValue why(QJsonValue::Null);
    if (exitStatus != 0) {
        // Every failure prints its reason; a signal may stop a run that had none.
        why = !error.isEmpty() ? error
              : exitStatus > 128 ? QStringLiteral("stopped by signal %1").arg(exitStatus - 128)
                                 : QStringLiteral("failed with exit status %1").arg(exitStatus);
    }
    fields.insert(QStringLiteral("error"), why);
    const QString whole = QString::fromUtf8(QJsonDocument(fields).toJson(QJsonDocument::Compact));
    return afterStreamed ? QLatin1Char(',') + whole.mid(1) : whole;
}

} // namespace nvxctl::jsondocument
