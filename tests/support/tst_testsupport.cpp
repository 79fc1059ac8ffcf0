#include "childprocess.h"

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

// The shared helpers other tests lean on: ending children.
class TestTestSupport : public QObject
{
    Q_OBJECT

private slots:
    void endedChildIsNeverSignalled_data();
    void endedChildIsNeverSignalled();
    void runningChildIsSignalledAndAwaited();
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

QTEST_GUILESS_MAIN(TestTestSupport)
#include "tst_testsupport.moc"
