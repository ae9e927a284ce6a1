#include <QProcess>
#include <QTest>

class tst_Startup : public QObject
{
    Q_OBJECT

private slots:
    void exitsWithZeroWhenWindowIsClosed_data();
    void exitsWithZeroWhenWindowIsClosed();
};

void tst_Startup::exitsWithZeroWhenWindowIsClosed_data()
{
    QTest::addColumn<QStringList>("extraArguments");
    QTest::newRow("no arguments") << QStringList();
    QTest::newRow("unknown arguments are ignored") << QStringList { "--verbose", "COM3", "-x" };
}

void tst_Startup::exitsWithZeroWhenWindowIsClosed()
{
    QFETCH(QStringList, extraArguments);

    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("QT_PLUGIN_PATH", PLUGIN_DIR);
    process.setProcessEnvironment(environment);
    process.start(CONFIGURATOR, QStringList { "-plugin", "windowcloser" } + extraArguments);

    QVERIFY2(process.waitForStarted(), qPrintable(process.errorString()));
    QVERIFY2(process.waitForFinished(30000), "the window was not closed");
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    // trimmed(): Windows ends the line with "\r\n".
    QCOMPARE(process.readAllStandardOutput().trimmed(),
             QByteArray("closing \"Torvan Configurator\" icon=set"));
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
