#include "dtransferrules.h"

#include <QString>

namespace DTransferRules {

namespace {

// Bytes per 125 ms tick; eight ticks make a second, so each row's sum is its
// rate per second, from 256 bytes to 1 MiB.
constexpr int kTable[kTopLevel + 1][kTicksPerSecond] = {
    { 128, 0, 0, 0, 128, 0, 0, 0 },
    { 256, 0, 0, 0, 256, 0, 0, 0 },
    { 512, 0, 0, 0, 512, 0, 0, 0 },
    { 1024, 0, 0, 0, 1024, 0, 0, 0 },
    { 1024, 0, 1024, 0, 1024, 0, 1024, 0 },
    { 2048, 0, 2048, 0, 2048, 0, 2048, 0 },
    { 4096, 0, 4096, 0, 4096, 0, 4096, 0 },
    { 4096, 4096, 4096, 4096, 4096, 4096, 4096, 4096 },
    { 8192, 8192, 8192, 8192, 8192, 8192, 8192, 8192 },
    { 16384, 16384, 16384, 16384, 16384, 16384, 16384, 16384 },
    { 32768, 32768, 32768, 32768, 32768, 32768, 32768, 32768 },
    { 65536, 65536, 65536, 65536, 65536, 65536, 65536, 65536 },
    { 131072, 131072, 131072, 131072, 131072, 131072, 131072, 131072 },
};

const QString kFallbackName = QStringLiteral("received-file");

} // namespace

int tableBytes(int level, int tick)
{
    if (level < kLowestLevel || level > kTopLevel || tick < 0 || tick >= kTicksPerSecond)
        return 0;
    return kTable[level][tick];
}

int bytesPerSecond(int level)
{
    int sum = 0;
    for (int tick = 0; tick < kTicksPerSecond; ++tick)
        sum += tableBytes(level, tick);
    return sum;
}

int nextRateLevel(int level, int previousVoiceCount, int currentVoiceCount)
{
    if (currentVoiceCount < previousVoiceCount)
        return qMax(kLowestLevel, level - 1);
    if (level < kTopLevel)
        level += 2;
    return qMin(level, kTopLevel);
}

int chunksForTick(qint64& credit, int allowance, qint64 remaining)
{
    credit += allowance;
    int chunks = 0;
    while (remaining > 0) {
        const qint64 take = qMin<qint64>(kChunkBytes, remaining);
        if (credit < take)
            break;
        credit -= take;
        remaining -= take;
        ++chunks;
    }
    // Nothing is owed once the file is out; a later transfer starts afresh.
    if (remaining == 0)
        credit = 0;
    return chunks;
}

qint64 chunkOffset(quint32 chunkNumber)
{
    return qint64(chunkNumber) * kChunkBytes;
}

bool chunkFits(quint32 chunkNumber, qint64 length, qint64 limit)
{
    if (length < 0 || length > kChunkBytes || limit < 0)
        return false;
    return chunkOffset(chunkNumber) + length <= limit;
}

QString sizeText(qint64 bytes, bool exact)
{
    QString text;
    if (bytes < 1000)
        text = QString::number(double(bytes), 'f', 2) + QStringLiteral(" Bytes");
    else if (bytes < 1000000)
        text = QString::number(bytes / 1024.0, 'f', 2) + QStringLiteral(" KiB");
    else if (bytes < 1000000000)
        text = QString::number(bytes / 1048576.0, 'f', 2) + QStringLiteral(" MiB");
    else
        text = QString::number(bytes / 1073741824.0, 'f', 2) + QStringLiteral(" GiB");
    if (exact && bytes >= 1000)
        text += QStringLiteral(" (") + QString::number(bytes) + QStringLiteral(" Bytes)");
    return text;
}

QString safeFileName(const QString& offered)
{
    // Both separators: a name made on another system may use either.
    int start = 0;
    for (int i = 0; i < offered.size(); ++i) {
        if (offered.at(i) == QLatin1Char('/') || offered.at(i) == QLatin1Char('\\'))
            start = i + 1;
    }
    QString name;
    for (int i = start; i < offered.size(); ++i) {
        const QChar c = offered.at(i);
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            continue;
        name.append(c);
    }
    name = name.trimmed();
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return kFallbackName;
    return name;
}

} // namespace DTransferRules
