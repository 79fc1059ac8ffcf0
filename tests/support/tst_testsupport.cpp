#include "childprocess.h"
#include "logcapture.h"

#include <cerrno>
#include <csignal>

#include <sys/wait.h>
#include <unistd.h>

#include <QProcess>
#include <QThread>
#include <QtTest>

namespace {

// The value the test's own sentinel signal carries.
constexpr int kSentinelValue = 0x5e471;

volatile std::sig_atomic_t s_sentinels = 0;
volatile std::sig_atomic_t s_strays = 0;

void countSignal(int, siginfo_t* info, void*)
{
    if (info->si_code == SI_QUEUE && info->si_value.sival_int == kSentinelValue)
        s_sentinels = s_sentinels + 1;
    else
        s_strays = s_strays + 1;
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
    // process group); it is counted here instead of ending the test. A
    // real-time signal queues, and its instances arrive in the order sent.
    const int testSignal = SIGRTMIN;
    struct sigaction counting = {};
    counting.sa_sigaction = countSignal;
    counting.sa_flags = SA_SIGINFO;
    sigemptyset(&counting.sa_mask);
    struct sigaction previous = {};
    QCOMPARE(::sigaction(testSignal, &counting, &previous), 0);
    s_sentinels = 0;
    s_strays = 0;

    QProcess child;
    child.start(QStringLiteral("true"), QStringList());
    QVERIFY(child.waitForStarted());
    const pid_t pid = pid_t(child.processId());
    QVERIFY(pid > 0);
    if (eventLoopSawTheEnd) {
        QTRY_COMPARE(child.state(), QProcess::NotRunning);
        QCOMPARE(child.processId(), qint64(0));
    } else {
        // Ended, but unseen by any event loop: wait for the end without
        // collecting it (ECHILD: Qt's handler has collected it already).
        siginfo_t info {};
        int result = 0;
        do
            result = ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT);
        while (result != 0 && errno == EINTR);
        QVERIFY(result == 0 || errno == ECHILD);
        QCOMPARE(child.state(), QProcess::Running);
    }
    QVERIFY(ChildProcess::signalAndWait(child, testSignal, 5000));
    QVERIFY(ChildProcess::waitForEnd(child, 5000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    // The sentinel queues behind any stray signal to this process.
    sigval value {};
    value.sival_int = kSentinelValue;
    QCOMPARE(::sigqueue(::getpid(), testSignal, value), 0);
    QTRY_COMPARE(int(s_sentinels), 1);
    QCOMPARE(int(s_strays), 0);
    ::sigaction(testSignal, &previous, nullptr);
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
        QCOMPARE(log.lines(),
            (QStringList { QStringLiteral("first line"), QStringLiteral("second 2") }));
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
