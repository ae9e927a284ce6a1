#include "dialog.h"
#include "exchange.h"
#include "mainwindow.h"
#include "modaldialog.h"
#include "simulatedadapter.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include <functional>
#include <limits>

using Fault = SimController::Fault;
using Block = SimController::Block;

// The coefficient dialog as the user reaches it: "EEPROM Coefs" in the
// connected main window, a simulated controller at the far end.
class tst_Dialog : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void firstOpeningIsEmptyAndPausesPolling();
    void readFillsTheRowsInSlotOrder();
    void readSweepsStrayBytesFirst();
    void failedReadLeavesTheFields();
    void writeSendsTheFieldsInSlotOrder();
    void readThenWriteSendsBackTheExactBytes();
    void fieldWithoutANumberStopsTheWrite_data();
    void fieldWithoutANumberStopsTheWrite();
    void commaLocaleReadsAndWritesItsOwnNumbers();
    void typedCoefficientMeansOneNumberInEveryLanguage_data();
    void typedCoefficientMeansOneNumberInEveryLanguage();
    void tabVisitsButtonsThenFieldsInRowOrder();
    void fieldsRefuseWhatIsNotANumber();
    void closeAndEscapeRejectAndSendNothing();
    void clickDuringAWaitOpensTheDialogAfterIt();
    void writeDuringAReadGoesOutBeforeALaterWrite();
    void lateCurrentsNeverShowAsCoefficients_data();
    void lateCurrentsNeverShowAsCoefficients();
    void unplugDuringReadOrWrite_data();
    void unplugDuringReadOrWrite();

private:
    void createWindow();
    void connectToController();
    // Clicks "EEPROM Coefs", runs check inside the modal dialog, then closes it.
    void withDialog(const std::function<void(Dialog *)> &check, bool clickButton = true);
    static QLineEdit *field(Dialog *dialog, const char *name)
    {
        return dialog->findChild<QLineEdit *>(QLatin1String(name));
    }
    static void click(QWidget *parent, const char *name)
    {
        QTest::mouseClick(parent->findChild<QPushButton *>(QLatin1String(name)), Qt::LeftButton);
    }
    static void type(QLineEdit *edit, const QString &text)
    {
        edit->selectAll();
        edit->del();
        QTest::keyClicks(edit, text);
    }
    void fillAll(Dialog *dialog, const QStringList &texts);
    // "EEPROM Coefs" clicked inside a poll's wait: the dialog opens from the queue.
    void clickEepromCoefsDuringAPoll();

    SimulatedAdapter *adapter = nullptr;
    MainWindow *window = nullptr;
};

static const char *const FieldsInSlotOrder[]
    = { "leIc0", "leIb0", "leIc1", "leIb1", "leIc2", "leIb2", "leIc3", "leIb3" };

void tst_Dialog::init()
{
    QTest::failOnWarning(QRegularExpression("connectSlotsByName"));
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    adapter = new SimulatedAdapter;
    QVERIFY(adapter->started);
    createWindow();
}

void tst_Dialog::cleanup()
{
    delete window;
    window = nullptr;
    delete adapter;
    QLocale::setDefault(QLocale::c());
}

void tst_Dialog::createWindow()
{
    delete window;
    window = new MainWindow;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
}

void tst_Dialog::connectToController()
{
    click(window, "pbConnect");
    QVERIFY(window->findChild<QSerialPort *>()->isOpen());
}

void tst_Dialog::withDialog(const std::function<void(Dialog *)> &check, bool clickButton)
{
    bool ran = false;
    whenModal<Dialog>(this, [&](Dialog *dialog) {
        const auto close = qScopeGuard([dialog] { dialog->reject(); });
        ran = true;
        check(dialog);
    });
    if (clickButton)
        click(window, "pbEeprom");
    QTRY_VERIFY(ran);
    QTRY_VERIFY(!QApplication::activeModalWidget());
}

void tst_Dialog::fillAll(Dialog *dialog, const QStringList &texts)
{
    for (int slot = 0; slot < 8; ++slot)
        type(field(dialog, FieldsInSlotOrder[slot]), texts.at(slot));
}

void tst_Dialog::firstOpeningIsEmptyAndPausesPolling()
{
    connectToController();
    adapter->controller.clearRequests();
    withDialog([&](Dialog *dialog) {
        QCOMPARE(dialog->windowTitle(), QString("Dialog"));
        for (const char *name : FieldsInSlotOrder)
            QVERIFY2(field(dialog, name)->text().isEmpty(), name);
        QTest::qWait(1000); // more than two poll intervals
        QVERIFY2(adapter->controller.requests().isEmpty(), qPrintable(adapter->commands()));
    });
    // Polling resumes once the dialog is closed.
    QTRY_VERIFY_WITH_TIMEOUT(adapter->commands().contains('R'), 2000);
}

void tst_Dialog::readFillsTheRowsInSlotOrder()
{
    adapter->controller.setAllCoefficients(
        { 1.0f, 0.000012345f, 1e6f, -2.5f, 1.2345678f, 0.1f, 1200.0f, 100.0f });
    connectToController();
    withDialog([&](Dialog *dialog) {
        click(dialog, "pbRead");
        const QStringList expected { "1",         "1.2345e-05", "1e+06", "-2.5",
                                     "1.2345678", "0.1",        "1200",  "100" };
        for (int slot = 0; slot < 8; ++slot)
            QCOMPARE(field(dialog, FieldsInSlotOrder[slot])->text(), expected[slot]);
        QCOMPARE(adapter->frames().constLast(), QString("FF 47 FE"));
    });
}

void tst_Dialog::readSweepsStrayBytesFirst()
{
    connectToController();
    // The controller acknowledges a W with a byte nobody reads.
    adapter->controller.injectFault(Fault::Ack);
    click(window, "pbWriteEEPROM");
    withDialog([&](Dialog *dialog) {
        QTRY_COMPARE(window->findChild<QSerialPort *>()->bytesAvailable(), qint64(1));
        click(dialog, "pbRead");
        QCOMPARE(field(dialog, "leIc0")->text(), QString("1"));
        QCOMPARE(field(dialog, "leIb1")->text(), QString("0.98"));
    });
}

void tst_Dialog::failedReadLeavesTheFields()
{
    connectToController();
    withDialog([&](Dialog *dialog) {
        click(dialog, "pbRead");
        adapter->controller.setAllCoefficients({ 5, 5, 5, 5, 5, 5, 5, 5 });
        for (Fault fault : { Fault::ShortReply, Fault::LongReply, Fault::NoReply }) {
            adapter->controller.injectFault(fault);
            click(dialog, "pbRead");
            QCOMPARE(field(dialog, "leIc0")->text(), QString("1"));
            QCOMPARE(field(dialog, "leIb3")->text(), QString("0.995"));
        }
    });
}

void tst_Dialog::writeSendsTheFieldsInSlotOrder()
{
    connectToController();
    withDialog([&](Dialog *dialog) {
        fillAll(dialog, { "1", "-1", "0.5", "2", "0", "1.5", "-2", "0.25" });
        adapter->controller.clearRequests();
        click(dialog, "pbWrite");
        QTRY_COMPARE(adapter->controller.requests().size(), 1);
        QCOMPARE(adapter->frames().first(),
                 QString("FF 43 00 00 80 3F 00 00 80 BF 00 00 00 3F 00 00 00 40 00 00 00 00 "
                         "00 00 C0 3F 00 00 00 C0 00 00 80 3E FE"));
        QCOMPARE(field(dialog, "leIb0")->text(), QString("-1")); // left as typed
    });
    QCOMPARE(adapter->controller.coefficient(5), 1.5f);
}

void tst_Dialog::readThenWriteSendsBackTheExactBytes()
{
    const Block exact { 1.2345678f,
                        0.1f,
                        16777215.0f,
                        std::numeric_limits<float>::max(),
                        std::numeric_limits<float>::denorm_min(),
                        -0.000123456789f,
                        3.14159265f,
                        1e-30f };
    adapter->controller.setAllCoefficients(exact);
    connectToController();
    withDialog([&](Dialog *dialog) {
        click(dialog, "pbRead");
        adapter->controller.setAllCoefficients({});
        adapter->controller.clearRequests();
        click(dialog, "pbWrite");
        QTRY_COMPARE(adapter->controller.requests().size(), 1);
    });
    const QByteArray frame = adapter->controller.requests().first().frame;
    for (int slot = 0; slot < 8; ++slot) {
        char bytes[4];
        qToLittleEndian(exact[slot], bytes);
        QCOMPARE(frame.mid(2 + 4 * slot, 4).toHex(), QByteArray(bytes, 4).toHex());
    }
}

void tst_Dialog::fieldWithoutANumberStopsTheWrite_data()
{
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QString>("focused");
    const QStringList good { "1", "1", "1", "1", "1", "1", "1", "1" };
    auto with = [good](int slot, const QString &text) {
        QStringList texts = good;
        texts[slot] = text;
        return texts;
    };
    QTest::newRow("empty") << with(3, "") << "leIb1";
    QTest::newRow("lone minus") << with(4, "-") << "leIc2";
    QTest::newRow("half an exponent") << with(7, "1e") << "leIb3";
    QTest::newRow("too large for a float") << with(0, "1e39") << "leIc0";
    QStringList two = with(6, "-");
    two[1] = "";
    QTest::newRow("first in row order wins") << two << "leIb0";
}

void tst_Dialog::fieldWithoutANumberStopsTheWrite()
{
    QFETCH(QStringList, texts);
    QFETCH(QString, focused);
    connectToController();
    withDialog([&](Dialog *dialog) {
        fillAll(dialog, texts);
        adapter->controller.clearRequests();
        click(dialog, "pbWrite");
        auto *bad = field(dialog, qPrintable(focused));
        QCOMPARE(dialog->focusWidget(), bad);
        QCOMPARE(bad->selectedText(), bad->text());
        for (int slot = 0; slot < 8; ++slot) // nothing is touched
            QCOMPARE(field(dialog, FieldsInSlotOrder[slot])->text(), texts[slot]);
        // Nothing was sent, then or a little later: the first request the
        // controller sees is a later Read, behind anything on its way.
        QTest::qWait(50);
        click(dialog, "pbRead");
        QTRY_COMPARE(adapter->commands(), QString("G"));
    });
    QCOMPARE(adapter->controller.coefficient(0), 1.0f);
}

void tst_Dialog::commaLocaleReadsAndWritesItsOwnNumbers()
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    createWindow();
    adapter->controller.setAllCoefficients({ 1.5f, 0.25f, 1, 1, 1, 1, 1, 1 });
    connectToController();
    withDialog([&](Dialog *dialog) {
        click(dialog, "pbRead");
        QCOMPARE(field(dialog, "leIc0")->text(), QString("1,5"));
        QCOMPARE(field(dialog, "leIb0")->text(), QString("0,25"));
        type(field(dialog, "leIc1"), "2,75");
        QCOMPARE(field(dialog, "leIc1")->text(), QString("2,75")); // the validator lets it through
        click(dialog, "pbWrite");
        QTRY_COMPARE(adapter->controller.coefficient(2), 2.75f);
    });
    QCOMPARE(adapter->controller.coefficient(0), 1.5f);
}

void tst_Dialog::typedCoefficientMeansOneNumberInEveryLanguage_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QByteArray>("sent"); // IC0's four bytes; empty: refused
    const QByteArray refused;
    const QByteArray point995 = QByteArray::fromHex("52b87e3f");
    const QByteArray one = QByteArray::fromHex("0000803f");
    const QByteArray oneAndAHalf = QByteArray::fromHex("0000c03f");
    // The plain form with a point is understood everywhere; a comma only where
    // the language writes one; a thousands separator never.
    const struct
    {
        const char *language;
        QLocale locale;
        bool comma;
    } languages[] = {
        { "C", QLocale::c(), false },
        { "English", QLocale(QLocale::English, QLocale::UnitedStates), false },
        { "German", QLocale(QLocale::German, QLocale::Germany), true },
        { "French", QLocale(QLocale::French, QLocale::France), true },
        { "Swiss German", QLocale(QLocale::German, QLocale::Switzerland), false },
    };
    for (const auto &[language, locale, comma] : languages) {
        QTest::addRow("%s, 0.995", language) << locale << "0.995" << point995;
        QTest::addRow("%s, 1.000", language) << locale << "1.000" << one;
        QTest::addRow("%s, 0,995", language) << locale << "0,995" << (comma ? point995 : refused);
        QTest::addRow("%s, 1,5", language) << locale << "1,5" << (comma ? oneAndAHalf : refused);
    }
}

void tst_Dialog::typedCoefficientMeansOneNumberInEveryLanguage()
{
    QFETCH(QLocale, locale);
    QFETCH(QString, typed);
    QFETCH(QByteArray, sent);
    QLocale::setDefault(locale);
    createWindow();
    connectToController();
    withDialog([&](Dialog *dialog) {
        fillAll(dialog, { typed, "1", "1", "1", "1", "1", "1", "1" });
        auto *ic0 = field(dialog, "leIc0");
        adapter->controller.clearRequests();
        click(dialog, "pbWrite");
        QCOMPARE(ic0->text(), typed); // every keystroke went through, and stayed
        if (sent.isEmpty()) {
            QCOMPARE(dialog->focusWidget(), ic0);
            QCOMPARE(ic0->selectedText(), typed);
            QTest::qWait(50);
            click(dialog, "pbRead"); // the first request the controller sees
            QTRY_COMPARE(adapter->commands(), QString("G"));
        } else {
            QTRY_COMPARE(adapter->commands(), QString("C"));
            QCOMPARE(adapter->controller.requests().constFirst().frame.mid(2, 4), sent);
        }
    });
}

void tst_Dialog::tabVisitsButtonsThenFieldsInRowOrder()
{
    connectToController();
    withDialog([&](Dialog *dialog) {
        // The dialog's own focus, whichever window the platform made active.
        dialog->findChild<QPushButton *>("pushButton")->setFocus();
        QStringList visited;
        for (int i = 0; i < 11; ++i) {
            QTest::keyClick(dialog->focusWidget(), Qt::Key_Tab);
            visited << dialog->focusWidget()->objectName();
        }
        QCOMPARE(visited,
                 QStringList({ "pbRead", "pbWrite", "leIc0", "leIb0", "leIc1", "leIb1", "leIc2",
                               "leIb2", "leIc3", "leIb3", "pushButton" }));
    });
}

void tst_Dialog::fieldsRefuseWhatIsNotANumber()
{
    connectToController();
    withDialog([&](Dialog *dialog) {
        for (const char *name : FieldsInSlotOrder) {
            auto *edit = field(dialog, name);
            QTest::keyClicks(edit, "1x.2.5");
            QCOMPARE(edit->text(), QString("1.25"));
        }
    });
}

void tst_Dialog::closeAndEscapeRejectAndSendNothing()
{
    connectToController();
    adapter->controller.clearRequests();
    auto *dialog = window->findChild<Dialog *>();
    withDialog([&](Dialog *shown) { click(shown, "pushButton"); });
    QCOMPARE(dialog->result(), int(QDialog::Rejected));
    withDialog([&](Dialog *shown) {
        dialog->setResult(QDialog::Accepted);
        QTest::keyClick(shown, Qt::Key_Escape);
    });
    QCOMPARE(dialog->result(), int(QDialog::Rejected));
    QVERIFY(!adapter->commands().contains('G'));
    QVERIFY(!adapter->commands().contains('C'));
}

void tst_Dialog::clickEepromCoefsDuringAPoll()
{
    connectToController();
    window->findChild<QTimer *>()->stop();
    adapter->controller.setReplyDelay(150);
    adapter->controller.clearRequests();
    QTimer::singleShot(30, this, [this] { click(window, "pbEeprom"); });
    QVERIFY(QMetaObject::invokeMethod(window, "timerTimeOut")); // waits 150 ms for its reply
}

void tst_Dialog::clickDuringAWaitOpensTheDialogAfterIt()
{
    clickEepromCoefsDuringAPoll();
    QVERIFY(!QApplication::activeModalWidget());
    withDialog(
        [&](Dialog *dialog) {
            click(dialog, "pbRead");
            QCOMPARE(field(dialog, "leIc0")->text(), QString("1"));
        },
        false);
    QCOMPARE(adapter->commands().left(2), QString("RG"));
    const auto requests = adapter->controller.requests();
    QVERIFY(requests[1].atNs - requests[0].atNs >= 150 * 1000000LL);
    QCOMPARE(adapter->controller.overlapCount(), 0);
}

void tst_Dialog::lateCurrentsNeverShowAsCoefficients_data()
{
    QTest::addColumn<int>("lateMs");
    for (const int late : { 30, 100, 500 })
        QTest::addRow("%d ms late", late) << late;
}

// A poll answered after its window, "EEPROM Coefs" clicked during it and Read
// at once: the fields only ever show the coefficients, and Write sends them.
void tst_Dialog::lateCurrentsNeverShowAsCoefficients()
{
    QFETCH(int, lateMs);
    connectToController();
    window->findChild<QTimer *>()->stop();
    adapter->controller.setPacing(true); // the next reply follows the late one, not with it
    adapter->controller.holdNextReply(lateMs);
    QTimer::singleShot(30, this, [this] { click(window, "pbEeprom"); });
    QVERIFY(QMetaObject::invokeMethod(window, "timerTimeOut"));
    QStringList shown;
    withDialog(
        [&](Dialog *dialog) {
            connect(field(dialog, "leIb1"), &QLineEdit::textChanged, this,
                    [&shown](const QString &text) { shown << text; });
            // A read that meets the backlog of late replies fails, as it should;
            // on a loaded machine that backlog may outlast a few reads.
            for (int click = 0; click < 10 && field(dialog, "leIb1")->text().isEmpty(); ++click)
                tst_Dialog::click(dialog, "pbRead");
            adapter->controller.clearRequests();
            tst_Dialog::click(dialog, "pbWrite");
        },
        false);
    QCOMPARE(shown, QStringList({ "0.98" }));
    QTRY_COMPARE(adapter->commands(), QString("C"));
    QCOMPARE(adapter->controller.coefficient(3), 0.98f);
}

// The dialog opened from the queue of a poll's wait is itself a queued task:
// what is queued inside it must not wait for it to close.
void tst_Dialog::writeDuringAReadGoesOutBeforeALaterWrite()
{
    clickEepromCoefsDuringAPoll();
    withDialog(
        [&](Dialog *dialog) {
            fillAll(dialog, { "1", "2", "3", "4", "5", "6", "7", "8" });
            QTimer::singleShot(30, dialog, [dialog] { click(dialog, "pbWrite"); });
            click(dialog, "pbRead");
            QTRY_COMPARE(adapter->commands(), QString("RGC"));
            fillAll(dialog, { "8", "7", "6", "5", "4", "3", "2", "1" });
            click(dialog, "pbWrite");
            QTRY_COMPARE(adapter->commands(), QString("RGCC"));
        },
        false);
    QCOMPARE(adapter->controller.coefficient(0), 8.0f);
    QCOMPARE(adapter->controller.overlapCount(), 0);
}

void tst_Dialog::unplugDuringReadOrWrite_data()
{
    QTest::addColumn<char>("command");
    QTest::addColumn<QByteArray>("button");
    QTest::newRow("during Read") << 'G' << QByteArray("pbRead");
    QTest::newRow("during Write") << 'C' << QByteArray("pbWrite");
}

void tst_Dialog::unplugDuringReadOrWrite()
{
    QFETCH(char, command);
    QFETCH(QByteArray, button);
    connectToController();
    adapter->controller.setReplyDelay(150);
    connect(&adapter->controller, &SimController::requestReceived, this,
            [this, command](char received) {
                if (received == command)
                    adapter->controller.hangUp();
            });
    withDialog([&](Dialog *dialog) {
        fillAll(dialog, { "1", "2", "3", "4", "5", "6", "7", "8" });
        QElapsedTimer clock;
        clock.start();
        click(dialog, button.constData());
        QVERIFY2(clock.elapsed() < 300, qPrintable(QString::number(clock.elapsed())));
        QTRY_COMPARE(window->findChild<QPushButton *>("pbConnect")->text(), QString("Connect"));
        QCOMPARE(field(dialog, "leIb3")->text(), QString("8"));
        click(dialog, "pbRead"); // the line is gone: nothing happens
    });
    QVERIFY(!adapter->controller.isRunning());
    QVERIFY(!window->findChild<QSerialPort *>()->isOpen());
    QVERIFY(!window->findChild<QPushButton *>("pbEeprom")->isEnabled());
    QVERIFY(!window->findChild<QTimer *>()->isActive()); // polling does not come back
}

QTEST_MAIN(tst_Dialog)
#include "tst_dialog.moc"
