#include "status.h"

namespace workflow {

bool needsRecovery(const QString &version)
{
    return version == QLatin1String(kVersionRecovery) || version == QLatin1String(kVersionRecoveryFromOlderBackup);
}

JobForm JobForm::parse(const QString &filename)
{
    if (!filename.startsWith(QLatin1String(kEraseForm)))
        return {JobKind::Update, filename};
    return {JobKind::Erase, filename.mid(int(sizeof kEraseForm) - 1)};
}

QString endText(int status, JobKind kind)
{
    const bool eraseJob = kind == JobKind::Erase;
    if (eraseJob && status == kStatusSuccess)
        return QStringLiteral("Erase Complete");
    if (eraseJob && status == kStatusRefused)
        return QStringLiteral("Erase refused");
    if (eraseJob && status > kStatusSuccess)
        return QStringLiteral("Erase Failed");
    if (status == kStatusRefused)
        return QStringLiteral("Update refused");
    if (status == kStatusPortFailed)
        return QStringLiteral("NVX7300 disconnected too soon");
    if (status == kStatusProgress)
        return QStringLiteral("Updating. Do not disconnect or switch off your NVX7300");
    if (status == kStatusUpdatedNotRestarted)
        return QStringLiteral("Update Complete. Switch your NVX7300 off and on again");
    if (status == kStatusNotConnected)
        return QStringLiteral("NVX7300 not connected");
    if (status > kStatusSuccess || status < 0)
        return QStringLiteral("Update Failed");
    return QStringLiteral("Update Complete");
}

QString endText(const JobEnd &end)
{
    if (end.leftErased)
        return QStringLiteral("NVX7300 must be updated again");
    return endText(end.status, end.kind);
}

} // namespace workflow
