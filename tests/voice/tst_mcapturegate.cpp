// MCaptureGate between a capture device and a reader that takes one period
// per readyRead(), as the Opus encoder does. The capture device is the sound
// card's stand-in: it hands over exactly the arrivals a row lists, each with
// one readyRead(), which is how a capture backend delivers a late burst.

#include "mcapturegate.h"
#include "pcmpipe.h"

#include <QtTest>

namespace {

constexpr int kSampleFrameBytes = 4; // 16-bit stereo
constexpr int kPeriodBytes = 3840; // 20 ms at 48 kHz
constexpr int kBacklogBytes = 11520; // 60 ms

QList<int> repeated(int count, int bytes)
{
    QList<int> list;
    for (int i = 0; i < count; ++i)
        list << bytes;
    return list;
}

// Distinct bytes at every position, so that a comparison finds any reordering.
QByteArray stream(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xff);
    return bytes;
}

} // namespace

class TestMCaptureGate : public QObject
{
    Q_OBJECT

private slots:
    void arrivals_data();
    void arrivals();
};

void TestMCaptureGate::arrivals_data()
{
    QTest::addColumn<QList<int>>("arrivals");
    QTest::addColumn<int>("dropStart");
    QTest::addColumn<int>("dropped");
    QTest::addColumn<int>("backlog");

    QTest::newRow("steady 20 ms periods pass unchanged")
        << repeated(25, kPeriodBytes) << 0 << 0 << kBacklogBytes;
    QTest::newRow("periods of 1023 frames pass unchanged")
        << repeated(25, 4092) << 0 << 0 << kBacklogBytes;
    QTest::newRow("a late double period passes unchanged")
        << QList<int> { kPeriodBytes, 2 * kPeriodBytes, kPeriodBytes } << 0 << 0 << kBacklogBytes;
    QTest::newRow("a first second in one burst keeps only its newest 60 ms") << QList<int> { 192000,
        kPeriodBytes, kPeriodBytes } << 0 << 192000 - kBacklogBytes << kBacklogBytes;
    QTest::newRow("a burst in the middle keeps only its newest 60 ms") << QList<int> { kPeriodBytes,
        96000, kPeriodBytes } << kPeriodBytes << 96000 - kBacklogBytes << kBacklogBytes;
    QTest::newRow("a burst that ends inside a period keeps whole sample frames")
        << QList<int> { 100004, kPeriodBytes } << 0 << 100004 - kBacklogBytes << kBacklogBytes;
    QTest::newRow("a backlog shorter than a read chunk still passes whole chunks")
        << repeated(5, kPeriodBytes) << 0 << 0 << 2000;
}

void TestMCaptureGate::arrivals()
{
    QFETCH(QList<int>, arrivals);
    QFETCH(int, dropStart);
    QFETCH(int, dropped);
    QFETCH(int, backlog);

    int total = 0;
    for (int n : arrivals)
        total += n;
    const QByteArray input = stream(total);

    PcmPipe microphone;
    MCaptureGate gate(&microphone, backlog, kSampleFrameBytes);
    gate.setReadChunk(kPeriodBytes);
    QByteArray consumed;
    connect(&gate, &QIODevice::readyRead, this,
        [&gate, &consumed] { consumed.append(gate.read(kPeriodBytes)); });

    int offset = 0;
    for (int n : arrivals) {
        microphone.push(input.mid(offset, n));
        offset += n;
        // Whatever the arrival, less than one period waits in the gate.
        QVERIFY2(gate.bytesAvailable() < kPeriodBytes, qPrintable(QString::number(offset)));
        QCOMPARE(microphone.bytesAvailable(), 0);
    }

    QCOMPARE(gate.droppedBytes(), qint64(dropped));
    QByteArray expected = input;
    expected.remove(dropStart, dropped);
    expected.chop(int(gate.bytesAvailable()));
    QCOMPARE(consumed.size(), expected.size());
    QVERIFY(consumed == expected);
    QCOMPARE(consumed.size() % kSampleFrameBytes, 0);
}

QTEST_GUILESS_MAIN(TestMCaptureGate)
#include "tst_mcapturegate.moc"
