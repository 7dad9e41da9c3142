#pragma once

#include <QModelIndex>
#include <QObject>
#include <QString>
#include <QTranslator>

class LanguageModel;

// Fills the language model from the translation files built into the program
// and switches the application's translation when the user picks a language.
class LanguageComboBoxManagement : public QObject
{
    Q_OBJECT

public:
    explicit LanguageComboBoxManagement(QObject *parent = nullptr);
    // The system locale's name and the folder searched for translation files
    // can be given explicitly; an empty locale name means QLocale::system(),
    // asked at each refresh. The default folder is ":/translation".
    LanguageComboBoxManagement(const QString &systemLocaleName, const QString &sourceDirectory,
                               QObject *parent = nullptr);

    Q_INVOKABLE bool printValues(LanguageModel *model, const QModelIndex &modelIndex);
    Q_INVOKABLE void refreshValues(LanguageModel *model);
    Q_INVOKABLE void loadLanguage(const QString &language);
    // The user's choice in the window, kept in the settings file for the
    // next start; without a settings file nothing is kept.
    Q_INVOKABLE void rememberLanguage(const QString &language);

    // The file a choice is kept in; refreshValues puts the language it names
    // first. Empty (the default): none.
    void setSettingsFile(const QString &path) { m_settingsFile = path; }

    QString currentLanguage() const { return m_currentLanguage; }

    // The number of translation files seen by the last rebuild, shared by
    // every instance; a refresh that finds the same number keeps the model.
    static int lastTranslationCount();
    // Forgets that count, so the next refresh rebuilds whatever it finds.
    static void resetLastTranslationCount();

    // "Translation_de_DE.qm" gives "de_DE".
    static QString codeFromFileName(const QString &fileName);

private:
    QString m_translationDirectory;
    QString m_currentLanguage;
    QTranslator m_translator;

    QString m_systemLocaleName;
    QString m_sourceDirectory;
    QString m_settingsFile;
};
