#include "languagecomboboxmanagement.h"

#include "languagemodel.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocale>
#include <QSettings>
#include <QtDebug>

namespace {

const char kDefaultTranslationDirectory[] = ":/translation";
const char kTranslationFilePattern[] = "Translation_*.qm";
const char kLanguageKey[] = "language";

int gLastTranslationCount = 0;

const char *yesNo(bool value)
{
    return value ? "true" : "false";
}

// The language to start in: the one chosen in the window before, else the
// system locale's own, else its language as spoken in another country
// ("de_AT" takes "de_DE"); the C and POSIX locales read English. Empty when
// no translation fits.
QString firstLanguage(const QStringList &codes, const QString &remembered, const QString &system)
{
    if (!remembered.isEmpty() && codes.contains(remembered))
        return remembered;
    if (codes.contains(system))
        return system;
    QLocale::Language language = QLocale(system).language();
    if (language == QLocale::C)
        language = QLocale::English;
    for (const QString &code : codes) {
        if (QLocale(code).language() == language)
            return code;
    }
    return QString();
}

} // namespace

LanguageComboBoxManagement::LanguageComboBoxManagement(QObject *parent)
    : LanguageComboBoxManagement(QString(), QString::fromLatin1(kDefaultTranslationDirectory), parent)
{
}

LanguageComboBoxManagement::LanguageComboBoxManagement(const QString &systemLocaleName,
                                                       const QString &sourceDirectory, QObject *parent)
    : QObject(parent)
    , m_systemLocaleName(systemLocaleName)
    , m_sourceDirectory(sourceDirectory)
{
}

bool LanguageComboBoxManagement::printValues(LanguageModel *model, const QModelIndex &modelIndex)
{
    if (model)
        qDebug().noquote() << model->data(modelIndex, LanguageModel::NameRole).toString();
    return true;
}

void LanguageComboBoxManagement::refreshValues(LanguageModel *model)
{
    const QString systemLanguage = m_systemLocaleName.isEmpty() ? QLocale::system().name() : m_systemLocaleName;

    m_translationDirectory = m_sourceDirectory;
    const QDir directory(m_translationDirectory);
    qDebug().noquote() << QString::asprintf("language directory exists: %s ", yesNo(directory.exists()))
                              + m_translationDirectory;

    const QStringList files = directory.entryList({QString::fromLatin1(kTranslationFilePattern)});
    if (files.size() == gLastTranslationCount)
        return;
    gLastTranslationCount = files.size();
    if (!model)
        return;
    model->clearLanguages();

    QStringList codes;
    for (const QString &fileName : files)
        codes << codeFromFileName(fileName);
    QString remembered;
    if (!m_settingsFile.isEmpty())
        remembered = QSettings(m_settingsFile, QSettings::IniFormat).value(QLatin1String(kLanguageKey)).toString();
    const QString first = firstLanguage(codes, remembered, systemLanguage);

    // The language to start in first, then the rest in file-name order.
    for (int pass = 0; pass < 2; ++pass) {
        for (const QString &fileName : files) {
            const QString code = codeFromFileName(fileName);
            if ((code == first) != (pass == 0))
                continue;
            const QString name = QLocale(code).nativeLanguageName();
            qDebug().noquote() << QStringLiteral("adding language ") + code + QLatin1Char(' ') + name
                                      + QLatin1Char(' ') + fileName;
            model->addLanguage(code, name, fileName);
        }
    }
}

void LanguageComboBoxManagement::loadLanguage(const QString &language)
{
    if (language == m_currentLanguage)
        return;
    m_currentLanguage = language;
    qDebug("loadLanguage %s", qUtf8Printable(language));

    QLocale::setDefault(QLocale(language));

    const QString path = QStringLiteral("%1/Translation_%2.qm").arg(m_translationDirectory, language);
    QCoreApplication::removeTranslator(&m_translator);
    const bool loaded = m_translator.load(path, QString(), QString(), QString());
    qDebug("translator.load(%s) %s", qUtf8Printable(path), yesNo(loaded));
    if (loaded)
        QCoreApplication::installTranslator(&m_translator);
    else
        qWarning("*** Failed translator.load(\"%s\")", qUtf8Printable(path));
}

void LanguageComboBoxManagement::rememberLanguage(const QString &language)
{
    if (m_settingsFile.isEmpty())
        return;
    QSettings settings(m_settingsFile, QSettings::IniFormat);
    settings.setValue(QLatin1String(kLanguageKey), language);
    settings.sync();
    if (settings.status() != QSettings::NoError)
        qWarning("Cannot keep the language chosen in %s", qUtf8Printable(m_settingsFile));
}

int LanguageComboBoxManagement::lastTranslationCount()
{
    return gLastTranslationCount;
}

void LanguageComboBoxManagement::resetLastTranslationCount()
{
    gLastTranslationCount = 0;
}

QString LanguageComboBoxManagement::codeFromFileName(const QString &fileName)
{
    const int lastDot = fileName.lastIndexOf(QLatin1Char('.'));
    const QString stem = lastDot < 0 ? fileName : fileName.left(lastDot);
    const int firstUnderscore = stem.indexOf(QLatin1Char('_'));
    return stem.mid(firstUnderscore + 1);
}
