#include "ctloptions.h"

#include <QtTest>

using namespace nvxctl;

Q_DECLARE_METATYPE(nvxctl::Command)

class CtlOptionsTest : public QObject
{
    Q_OBJECT

    static bool parse(const QString &line, Options *o, QString *error = nullptr)
    {
        QString ignored;
        QStringList args{QStringLiteral("nvx7300ctl")};
        if (!line.isEmpty())
            args += line.split(QLatin1Char(' '));
        return parseArguments(args, o, error ? error : &ignored);
    }

private slots:
    void globalOptionsStandBeforeOrAfterTheCommand_data()
    {
        QTest::addColumn<QString>("line");
        QTest::newRow("before") << QStringLiteral("--virtual-instrument=3 --verbose update --port /dev/ttyUSB0");
        QTest::newRow("after") << QStringLiteral("update --port /dev/ttyUSB0 --verbose --virtual-instrument=3");
        QTest::newRow("around") << QStringLiteral("--verbose update --virtual-instrument 3 --port=/dev/ttyUSB0");
    }

    void globalOptionsStandBeforeOrAfterTheCommand()
    {
        QFETCH(QString, line);
        Options o;
        QVERIFY(parse(line, &o));
        QCOMPARE(o.command, Command::Update);
        QCOMPARE(o.virtualInstruments, 3);
        QVERIFY(o.verbose);
        QCOMPARE(o.port, QStringLiteral("/dev/ttyUSB0"));
    }

    void versionOptionNamesFirmwareOnlyWithAValue_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("programVersion");
        QTest::addColumn<QString>("firmware");
        QTest::newRow("update --version 1.208") << QStringLiteral("update --version 1.208") << false << QStringLiteral("1.208");
        QTest::newRow("--version=1.208 update") << QStringLiteral("--version=1.208 update") << false << QStringLiteral("1.208");
        QTest::newRow("--version alone") << QStringLiteral("--version") << true << QString();
        QTest::newRow("--version before a command") << QStringLiteral("--version list") << true << QString();
        QTest::newRow("--version before an option") << QStringLiteral("update --version --all") << true << QString();
    }

    void versionOptionNamesFirmwareOnlyWithAValue()
    {
        QFETCH(QString, line);
        QFETCH(bool, programVersion);
        QFETCH(QString, firmware);
        Options o;
        QVERIFY(parse(line, &o));
        QCOMPARE(o.showProgramVersion, programVersion);
        QCOMPARE(o.firmwareVersion, firmware);
    }

    void virtualInstrumentCount_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("count"); // 0: refused
        QTest::newRow("bare") << QStringLiteral("list --virtual-instrument") << 1;
        QTest::newRow("bare before the command") << QStringLiteral("--virtual-instrument list") << 1;
        QTest::newRow("inline") << QStringLiteral("list --virtual-instrument=4") << 4;
        QTest::newRow("zero") << QStringLiteral("list --virtual-instrument=0") << 0;
        QTest::newRow("not a number") << QStringLiteral("list --virtual-instrument=two") << 0;
        QTest::newRow("too many") << QStringLiteral("list --virtual-instrument=1000") << 0;
    }

    void virtualInstrumentCount()
    {
        QFETCH(QString, line);
        QFETCH(int, count);
        Options o;
        const bool ok = parse(line, &o);
        QCOMPARE(ok, count > 0);
        if (ok) {
            QCOMPARE(o.virtualInstruments, count);
            QCOMPARE(o.command, Command::List);
        }
    }

    void unusableCommandLinesAreRefused_data()
    {
        QTest::addColumn<QString>("line");
        QTest::newRow("nothing") << QString();
        QTest::newRow("unknown command") << QStringLiteral("flash");
        QTest::newRow("two commands") << QStringLiteral("list version");
        QTest::newRow("unknown option") << QStringLiteral("list --colour");
        QTest::newRow("port without value") << QStringLiteral("version --port");
        QTest::newRow("port with empty value") << QStringLiteral("version --port=");
        QTest::newRow("flag with value") << QStringLiteral("list --json=yes");
        QTest::newRow("version and file") << QStringLiteral("update --version 1.2 --file a.txt");
        QTest::newRow("all outside update") << QStringLiteral("version --all");
        QTest::newRow("all with port") << QStringLiteral("update --all --port /dev/ttyUSB0");
        QTest::newRow("ports without all") << QStringLiteral("update --ports a,b");
        QTest::newRow("empty ports") << QStringLiteral("update --all --ports=,");
        QTest::newRow("erase without file") << QStringLiteral("erase --port /dev/ttyUSB0");
        QTest::newRow("firmware version outside update") << QStringLiteral("erase --version 1.2 --file a.txt");
        QTest::newRow("a rate the loader does not offer") << QStringLiteral("update --baud 57600");
        QTest::newRow("a rate for a read") << QStringLiteral("version --baud 38400");
        QTest::newRow("serial outside history") << QStringLiteral("list --serial BENCH1");
        QTest::newRow("reinstall outside update") << QStringLiteral("erase --reinstall --file a.txt");
        QTest::newRow("read-back outside update") << QStringLiteral("erase --verify --file a.txt");
        QTest::newRow("verify without a firmware") << QStringLiteral("verify --port /dev/ttyUSB0");
    }

    void unusableCommandLinesAreRefused()
    {
        QFETCH(QString, line);
        Options o;
        QString error;
        QVERIFY(!parse(line, &o, &error));
        QVERIFY(!error.isEmpty());
        QVERIFY2(!error.contains(QLatin1Char('\n')), qPrintable(error));
    }

    void mistypedCommandGetsASuggestion_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("meant"); // empty: nothing near enough
        QTest::newRow("letter missing") << "updte --port /dev/ttyUSB0" << "update";
        QTest::newRow("letters swapped") << "verison" << "version";
        QTest::newRow("plural swapped") << "versoins --offline" << "versions";
        QTest::newRow("capitals") << "HISTROY" << "history";
        QTest::newRow("nothing like it") << "flash" << QString();
    }

    void mistypedCommandGetsASuggestion()
    {
        QFETCH(QString, line);
        QFETCH(QString, meant);
        Options o;
        QString error;
        QVERIFY(!parse(line + QStringLiteral(" --json"), &o, &error));
        QVERIFY(o.json); // the refusal too is answered as asked
        QCOMPARE(error.contains(QStringLiteral("did you mean")), !meant.isEmpty());
        if (!meant.isEmpty())
            QVERIFY2(error.contains(QStringLiteral("\"%1\"?").arg(meant)), qPrintable(error));
    }

    void eachCommandHasItsOwnHelp_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("notShown");
        QTest::newRow("update") << "update --help" << "--reinstall" << "history [--serial S]";
        QTest::newRow("history") << "-h history" << "history [--serial S]" << "--baud";
        QTest::newRow("all of it") << "--help" << "history [--serial S]" << "Exit statuses and the update record:";
    }

    void eachCommandHasItsOwnHelp()
    {
        QFETCH(QString, line);
        QFETCH(QString, shown);
        QFETCH(QString, notShown);
        Options o;
        QVERIFY(parse(line, &o));
        QVERIFY(o.help);
        const QString help = helpText(o.command);
        QVERIFY2(help.contains(shown), qPrintable(help));
        QVERIFY2(!help.contains(notShown), qPrintable(help));
    }

    void newestIsLeftAloneWhereItRunsUnlessAsked_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("keepCurrent");
        QTest::newRow("newest") << "update" << true;
        QTest::newRow("every instrument") << "update --all" << true;
        QTest::newRow("reinstall") << "update --reinstall" << false;
        QTest::newRow("named version") << "update --version 1.208" << false;
        QTest::newRow("named file") << "update --file fw.txt" << false;
        QTest::newRow("a child of --all") << "update --file fw.txt --keep-current" << true;
    }

    void newestIsLeftAloneWhereItRunsUnlessAsked()
    {
        QFETCH(QString, line);
        QFETCH(bool, keepCurrent);
        Options o;
        QVERIFY(parse(line, &o));
        QCOMPARE(o.keepCurrent, keepCurrent);
    }

    void allTakesAPortList()
    {
        Options o;
        QVERIFY(parse(QStringLiteral("update --all --ports /dev/pts/1,/dev/pts/2,,/dev/pts/3 --offline"), &o));
        QVERIFY(o.all);
        QVERIFY(o.offline);
        QCOMPARE(o.ports, (QStringList{QStringLiteral("/dev/pts/1"), QStringLiteral("/dev/pts/2"),
                                       QStringLiteral("/dev/pts/3")}));
    }

    void helpNeedsNoCommandAndListsEveryExitStatus()
    {
        Options o;
        QVERIFY(parse(QStringLiteral("-h"), &o));
        QVERIFY(o.help);
        const QString help = helpText();
        for (int status : {kExitOk, kExitFailed, kExitUsage, kExitNoInstrument, kExitPortUnavailable,
                           kExitNotIdentified, kExitUnknownVersion, kExitCatalogueUnreachable, kExitFileUnreadable,
                           kExitNeedsRecovery})
            QVERIFY2(help.contains(QStringLiteral("\n  %1  ").arg(status)), qPrintable(QString::number(status)));
    }
};

QTEST_GUILESS_MAIN(CtlOptionsTest)
#include "tst_ctloptions.moc"
