#include "languagecomboboxmanagement.h"
#include "languagemodel.h"
#include "messagelog.h"
#include "modelcolumn.h"

#include <QAbstractItemModelTester>
#include <QCoreApplication>
#include <QFile>
#include <QLocale>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

namespace {

QString mainText(const char *source)
{
    return QCoreApplication::translate("main", source);
}

const QString kResources = QStringLiteral(":/translation");

} // namespace

class LanguageComboBoxManagementTest : public QObject
{
    Q_OBJECT

    static QStringList codes(const LanguageModel &model) { return nvxtest::columnOf(model, 0); }

private slots:
    void init()
    {
        LanguageComboBoxManagement::resetLastTranslationCount();
    }

    void cleanup()
    {
        QLocale::setDefault(QLocale::c());
    }

    void systemLanguageComesFirstThenFileNameOrder_data()
    {
        QTest::addColumn<QString>("system");
        QTest::addColumn<QString>("remembered"); // chosen in the window at an earlier start
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("fr_FR has a translation") << "fr_FR" << "" << QStringList{"fr_FR", "de_DE", "en_GB", "es_ES"};
        QTest::newRow("es_ES has a translation") << "es_ES" << "" << QStringList{"es_ES", "de_DE", "en_GB", "fr_FR"};
        QTest::newRow("en_US speaks English") << "en_US" << "" << QStringList{"en_GB", "de_DE", "es_ES", "fr_FR"};
        QTest::newRow("de_AT speaks German") << "de_AT" << "" << QStringList{"de_DE", "en_GB", "es_ES", "fr_FR"};
        QTest::newRow("fr_CA speaks French") << "fr_CA" << "" << QStringList{"fr_FR", "de_DE", "en_GB", "es_ES"};
        QTest::newRow("es_MX speaks Spanish") << "es_MX" << "" << QStringList{"es_ES", "de_DE", "en_GB", "fr_FR"};
        QTest::newRow("language alone") << "fr" << "" << QStringList{"fr_FR", "de_DE", "en_GB", "es_ES"};
        QTest::newRow("C reads English") << "C" << "" << QStringList{"en_GB", "de_DE", "es_ES", "fr_FR"};
        QTest::newRow("none spoken here") << "it_IT" << "" << QStringList{"de_DE", "en_GB", "es_ES", "fr_FR"};
        QTest::newRow("the choice wins") << "fr_FR" << "es_ES" << QStringList{"es_ES", "de_DE", "en_GB", "fr_FR"};
        QTest::newRow("a choice not built in") << "fr_CA" << "it_IT" << QStringList{"fr_FR", "de_DE", "en_GB", "es_ES"};
    }

    void systemLanguageComesFirstThenFileNameOrder()
    {
        QFETCH(QString, system);
        QFETCH(QString, remembered);
        QFETCH(QStringList, expected);
        QTemporaryDir dir;
        const QString settings = dir.filePath(QStringLiteral("settings/settings.ini"));
        LanguageComboBoxManagement earlier(system, kResources);
        earlier.setSettingsFile(settings);
        if (!remembered.isEmpty())
            earlier.rememberLanguage(remembered);

        LanguageModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        LanguageComboBoxManagement management(system, kResources);
        management.setSettingsFile(settings);
        management.refreshValues(&model);
        QCOMPARE(codes(model), expected);
        for (int row = 0; row < model.rowCount(); ++row) {
            const QString code = model.myData(row, 0).toString();
            QCOMPARE(model.myData(row, 2).toString(), QStringLiteral("Translation_%1.qm").arg(code));
        }
    }

    void namesAreTheLanguagesOwn()
    {
        LanguageModel model;
        LanguageComboBoxManagement management(QStringLiteral("it_IT"), kResources);
        QTest::ignoreMessage(QtDebugMsg, "language directory exists: true :/translation");
        QTest::ignoreMessage(QtDebugMsg, "adding language de_DE Deutsch Translation_de_DE.qm");
        QTest::ignoreMessage(QtDebugMsg, "adding language fr_FR français Translation_fr_FR.qm");
        management.refreshValues(&model);
        QCOMPARE(model.myData(0, 1).toString(), QStringLiteral("Deutsch"));
        QCOMPARE(model.myData(2, 1).toString(), QStringLiteral("español de España"));
    }

    void sameNumberOfFilesLeavesTheModelAlone()
    {
        LanguageModel model;
        LanguageComboBoxManagement management(QStringLiteral("de_DE"), kResources);
        management.refreshValues(&model);
        QCOMPARE(model.rowCount(), 4);

        model.clearLanguages();
        management.refreshValues(&model);
        QCOMPARE(model.rowCount(), 0);

        // The count is shared: another selector sees no change either.
        LanguageComboBoxManagement other(QStringLiteral("de_DE"), kResources);
        other.refreshValues(&model);
        QCOMPARE(model.rowCount(), 0);
    }

    void changedNumberOfFilesRebuilds()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        for (const char *code : {"fr_FR", "es_ES"})
            QVERIFY(QFile::copy(kResources + QStringLiteral("/Translation_%1.qm").arg(QLatin1String(code)),
                                dir.filePath(QStringLiteral("Translation_%1.qm").arg(QLatin1String(code)))));
        // Not translation files: neither the pattern nor the suffix fit.
        QFile(dir.filePath(QStringLiteral("Translation_de_DE.ts"))).open(QIODevice::WriteOnly);
        QFile(dir.filePath(QStringLiteral("Other_de_DE.qm"))).open(QIODevice::WriteOnly);

        LanguageModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        LanguageComboBoxManagement full(QStringLiteral("fr_FR"), kResources);
        full.refreshValues(&model);
        QCOMPARE(model.rowCount(), 4);

        LanguageComboBoxManagement two(QStringLiteral("fr_FR"), dir.path());
        two.refreshValues(&model);
        QCOMPARE(codes(model), (QStringList{"fr_FR", "es_ES"}));

        QTemporaryDir empty;
        LanguageComboBoxManagement none(QStringLiteral("fr_FR"), empty.path());
        none.refreshValues(&model);
        QCOMPARE(model.rowCount(), 0);
    }

    void missingDirectoryIsReportedAndGivesNoRows()
    {
        LanguageModel model;
        LanguageComboBoxManagement management(QStringLiteral("fr_FR"), QStringLiteral("/no/such/translation"));
        QTest::ignoreMessage(QtDebugMsg, "language directory exists: false /no/such/translation");
        management.refreshValues(&model);
        QCOMPARE(model.rowCount(), 0);
    }

    void loadedTranslationChangesTheTexts_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QString>("expected");
        QTest::newRow("de_DE") << "de_DE" << QByteArray("Update Complete") << "Aktualisierung abgeschlossen";
        QTest::newRow("de_DE umlaut") << "de_DE" << QByteArray("NVX7300 software is invalid")
                                      << "Die NVX7300-Software ist ungültig";
        QTest::newRow("fr_FR trailing space") << "fr_FR" << QByteArray("NVX7300 is currently running version ")
                                              << "NVX7300 exécute actuellement la version ";
        QTest::newRow("es_ES") << "es_ES" << QByteArray("Update to") << "Actualización a la versión";
    }

    void loadedTranslationChangesTheTexts()
    {
        QFETCH(QString, code);
        QFETCH(QByteArray, source);
        QFETCH(QString, expected);
        LanguageModel model;
        LanguageComboBoxManagement management(QStringLiteral("en_US"), kResources);
        management.refreshValues(&model);
        QCOMPARE(mainText(source.constData()), QString::fromLatin1(source));
        management.loadLanguage(code);
        QCOMPARE(mainText(source.constData()), expected);
        QCOMPARE(QLocale().name(), code);
    }

    void englishTranslatesEveryTextToItself()
    {
        QTranslator english;
        QVERIFY(english.load(kResources + QStringLiteral("/Translation_en_GB.qm")));
        QTranslator german;
        QVERIFY(german.load(kResources + QStringLiteral("/Translation_de_DE.qm")));
        for (const char *source : {"Update Failed", "NVX7300 is currently running version ", "Update to"}) {
            QCOMPARE(english.translate("main", source), QString::fromLatin1(source));
            QVERIFY(!german.translate("main", source).isEmpty());
        }
        QVERIFY(english.translate("other", "Update to").isEmpty());
    }

    void switchingReplacesThePreviousTranslation()
    {
        LanguageModel model;
        LanguageComboBoxManagement management(QStringLiteral("en_US"), kResources);
        management.refreshValues(&model);
        management.loadLanguage(QStringLiteral("de_DE"));
        management.loadLanguage(QStringLiteral("fr_FR"));
        QCOMPARE(mainText("Update Failed"), QStringLiteral("Mise à jour a échoué"));
        management.loadLanguage(QStringLiteral("de_DE"));
        QCOMPARE(mainText("Update Failed"), QStringLiteral("Update fehlgeschlagen"));
    }

    void sameLanguageTwiceLoadsOnce()
    {
        LanguageModel model;
        LanguageComboBoxManagement management(QStringLiteral("en_US"), kResources);
        management.refreshValues(&model);
        nvxtest::MessageLog capture(nvxtest::MessageLog::Debug::PassOn);
        QTest::ignoreMessage(QtDebugMsg, "loadLanguage de_DE");
        QTest::ignoreMessage(QtDebugMsg, "translator.load(:/translation/Translation_de_DE.qm) true");
        management.loadLanguage(QStringLiteral("de_DE"));
        QLocale::setDefault(QLocale::c());
        management.loadLanguage(QStringLiteral("de_DE"));
        QCOMPARE(capture.countStartingWith(QtDebugMsg, QStringLiteral("loadLanguage")), 1);
        QCOMPARE(capture.countStartingWith(QtDebugMsg, QStringLiteral("translator.load(")), 1);
        QCOMPARE(QLocale().name(), QStringLiteral("C"));
        QCOMPARE(mainText("Update to"), QStringLiteral("Update auf"));
    }

    void unknownLanguageDropsTheTranslationAndWarns()
    {
        LanguageModel model;
        LanguageComboBoxManagement management(QStringLiteral("en_US"), kResources);
        management.refreshValues(&model);
        management.loadLanguage(QStringLiteral("de_DE"));
        QCOMPARE(mainText("Update Complete"), QStringLiteral("Aktualisierung abgeschlossen"));

        nvxtest::MessageLog capture(nvxtest::MessageLog::Debug::PassOn);
        QTest::ignoreMessage(QtDebugMsg, "translator.load(:/translation/Translation_it_IT.qm) false");
        QTest::ignoreMessage(QtWarningMsg, "*** Failed translator.load(\":/translation/Translation_it_IT.qm\")");
        management.loadLanguage(QStringLiteral("it_IT"));
        QCOMPARE(mainText("Update Complete"), QStringLiteral("Update Complete"));
        QCOMPARE(QLocale().language(), QLocale::Italian);
        QCOMPARE(management.currentLanguage(), QStringLiteral("it_IT"));

        // The failed code counts as current: asking again does nothing.
        management.loadLanguage(QStringLiteral("it_IT"));
        QCOMPARE(capture.countStartingWith(QtWarningMsg, QStringLiteral("*** Failed")), 1);
    }

    void loadBeforeAnyRefreshLooksInNoDirectory()
    {
        LanguageComboBoxManagement management(QStringLiteral("en_US"), kResources);
        QTest::ignoreMessage(QtWarningMsg, "*** Failed translator.load(\"/Translation_de_DE.qm\")");
        management.loadLanguage(QStringLiteral("de_DE"));
        QCOMPARE(mainText("Update to"), QStringLiteral("Update to"));
    }

    void destroyedSelectorTakesItsTranslationAlong()
    {
        {
            LanguageModel model;
            LanguageComboBoxManagement management(QStringLiteral("en_US"), kResources);
            management.refreshValues(&model);
            management.loadLanguage(QStringLiteral("es_ES"));
            QCOMPARE(mainText("Update Failed"), QStringLiteral("Actualización fallida"));
        }
        QCOMPARE(mainText("Update Failed"), QStringLiteral("Update Failed"));
    }

    void printValuesLogsTheName()
    {
        LanguageModel model;
        LanguageComboBoxManagement management(QStringLiteral("fr_FR"), kResources);
        management.refreshValues(&model);
        QTest::ignoreMessage(QtDebugMsg, "français");
        QVERIFY(management.printValues(&model, model.index(0)));
    }

    void invokablesInOrderForQml()
    {
        const QMetaObject &mo = LanguageComboBoxManagement::staticMetaObject;
        QStringList methods;
        for (int i = mo.methodOffset(); i < mo.methodCount(); ++i)
            methods << QString::fromLatin1(mo.method(i).name());
        QCOMPARE(methods, (QStringList{"printValues", "refreshValues", "loadLanguage", "rememberLanguage"}));
    }

    void codeIsBetweenFirstUnderscoreAndLastDot_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("code");
        QTest::newRow("usual") << "Translation_de_DE.qm" << "de_DE";
        QTest::newRow("dots inside") << "Translation_x.y.qm" << "x.y";
        QTest::newRow("empty code") << "Translation_.qm" << "";
    }

    void codeIsBetweenFirstUnderscoreAndLastDot()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, code);
        QCOMPARE(LanguageComboBoxManagement::codeFromFileName(fileName), code);
    }
};

QTEST_GUILESS_MAIN(LanguageComboBoxManagementTest)
#include "tst_languagecomboboxmanagement.moc"
