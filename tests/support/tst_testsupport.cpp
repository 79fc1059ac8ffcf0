#include "childprocess.h"
#include "logcapture.h"

#include <csignal>

#include <QProcess>
#include <QThread>
#include <QtTest>

namespace {

volatile std::sig_atomic_t s_signalsReceived = 0;

void countSignal(int)
{
    s_signalsReceived = s_signalsReceived + 1;
}

} // namespace

// The shared helpers other tests lean on: ending children and reading the log.
class TestTestSupport : public QObject
{
    Q_OBJECT

private slots:
    void endedChildIsNeverSignalled_data();
    void endedChildIsNeverSignalled();
    void runningChildIsSignalledAndAwaited();
    void captureCollectsAndRestores();
    void capturesNestAndCollectFromThreads();
};

void TestTestSupport::endedChildIsNeverSignalled_data()
{
    QTest::addColumn<bool>("eventLoopSawTheEnd");
    QTest::newRow("the end was seen by an event loop") << true;
    QTest::newRow("the end was not seen yet") << false;
}

void TestTestSupport::endedChildIsNeverSignalled()
{
    QFETCH(bool, eventLoopSawTheEnd);
    // A signal meant for an ended child must not reach this process (its
    // process group); SIGUSR1 is counted here instead of ending the test.
    struct sigaction counting {};
    counting.sa_handler = countSignal;
    struct sigaction previous {};
    QCOMPARE(::sigaction(SIGUSR1, &counting, &previous), 0);
    s_signalsReceived = 0;

    QProcess child;
    child.start(QStringLiteral("true"), QStringList());
    QVERIFY(child.waitForStarted());
    if (eventLoopSawTheEnd) {
        QTRY_COMPARE(child.state(), QProcess::NotRunning);
        QCOMPARE(child.processId(), qint64(0));
    } else {
        QThread::msleep(200);
    }
    QVERIFY(ChildProcess::signalAndWait(child, SIGUSR1, 5000));
    QVERIFY(ChildProcess::waitForEnd(child, 5000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    QTest::qWait(50);
    QCOMPARE(int(s_signalsReceived), 0);
    ::sigaction(SIGUSR1, &previous, nullptr);
}

void TestTestSupport::runningChildIsSignalledAndAwaited()
{
    QProcess child;
    child.start(QStringLiteral("sleep"), { QStringLiteral("60") });
    QVERIFY(child.waitForStarted());
    QVERIFY(ChildProcess::signalAndWait(child, SIGTERM, 10000));
    QCOMPARE(child.state(), QProcess::NotRunning);
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
}

void TestTestSupport::captureCollectsAndRestores()
{
    const QtMessageHandler before = qInstallMessageHandler(nullptr);
    qInstallMessageHandler(before);
    {
        LogCapture log;
        qDebug("first line");
        qWarning("second %d", 2);
        QCOMPARE(log.lines(), (QStringList { QStringLiteral("first line"),
                                  QStringLiteral("second 2") }));
        QVERIFY(log.contains(QStringLiteral("cond")));
        QCOMPARE(log.count(QStringLiteral("line")), 1);
        QTimer::singleShot(10, [] { qInfo("later"); });
        QVERIFY(log.waitFor(QStringLiteral("later")));
        log.clear();
        QVERIFY(log.lines().isEmpty());
    }
    const QtMessageHandler after = qInstallMessageHandler(nullptr);
    qInstallMessageHandler(after);
    QVERIFY(after == before);
}

void TestTestSupport::capturesNestAndCollectFromThreads()
{
    LogCapture outer;
    {
        LogCapture inner;
        QThread* thread = QThread::create([] { qDebug("from a thread"); });
        thread->start();
        QVERIFY(thread->wait(5000));
        delete thread;
        QCOMPARE(inner.lines(), QStringList { QStringLiteral("from a thread") });
    }
    qDebug("outer again");
    QCOMPARE(outer.lines(), QStringList { QStringLiteral("outer again") });
}

QTEST_GUILESS_MAIN(TestTestSupport)
#include "tst_testsupport.moc"
