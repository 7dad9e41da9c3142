#include "versionnumber.h"

#include <QRegularExpression>

namespace {

constexpr int kMaxPart = 999; // three digits, as the catalogue writes them

int sign(int value)
{
    return (value > 0) - (value < 0);
}

} // namespace

VersionNumber VersionNumber::parse(const QString &text)
{
    static const QRegularExpression rule(
        QStringLiteral("^(\\d{1,3})\\.(\\d{1,3})(-\\d{4}-\\d{2}-\\d{2}-\\d{4})?$"));
    const QRegularExpressionMatch match = rule.match(text);
    VersionNumber number;
    if (!match.hasMatch())
        return number;
    const int major = match.captured(1).toInt();
    const int minor = match.captured(2).toInt();
    if (major > kMaxPart || minor > kMaxPart)
        return number;
    number.major = major;
    number.minor = minor;
    number.build = match.captured(3).mid(1);
    return number;
}

int VersionNumber::compareRelease(const VersionNumber &other) const
{
    if (major != other.major)
        return sign(major - other.major);
    return sign(minor - other.minor);
}

int VersionNumber::compare(const VersionNumber &other) const
{
    const int release = compareRelease(other);
    return release != 0 ? release : sign(QString::compare(build, other.build));
}

int compareVersionNumbers(const QString &a, const QString &b)
{
    const VersionNumber x = VersionNumber::parse(a);
    const VersionNumber y = VersionNumber::parse(b);
    if (x.isValid() && y.isValid())
        return -x.compare(y);
    if (x.isValid() != y.isValid())
        return x.isValid() ? -1 : 1;
    return -sign(QString::compare(a, b));
}
