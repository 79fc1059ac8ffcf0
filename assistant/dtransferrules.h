#pragma once

#include <QtGlobal>

class QString;

// The rules both ends of a file transfer follow, as plain functions: the
// sender's rate table and how it moves with the voice decoder's packet
// counts, where a chunk's bytes belong in the file, which chunks a receiver
// may keep, the size texts of the transfer rows and the offer box, and the
// bare name an offered file is saved under. No state; any thread.
namespace DTransferRules {

// Every chunk carries kChunkBytes, the last one the rest; chunk n holds the
// bytes from n * kChunkBytes on. The rate table only says how many bytes may
// leave per tick, and whole chunks go once that allowance covers them.
constexpr int kChunkBytes = 4096;
constexpr int kTickMs = 125;
constexpr int kTicksPerSecond = 8;
constexpr int kLowestLevel = 0;
constexpr int kStartLevel = 6;
constexpr int kTopLevel = 12;

// Bytes the table allows at (level, tick); 0 outside the table.
int tableBytes(int level, int tick);
// The row's sum: bytes per second at a level.
int bytesPerSecond(int level);
// The level for the next second, from the decoder's last two packet counts:
// one down when the count dropped, otherwise two up, capped at the top.
int nextRateLevel(int level, int previousVoiceCount, int currentVoiceCount);
// Adds a tick's allowance to credit and answers how many chunks may go now
// with remaining bytes left to send; credit is spent by the chunks' bytes.
int chunksForTick(qint64& credit, int allowance, qint64 remaining);

// Where chunk number n starts in the file.
qint64 chunkOffset(quint32 chunkNumber);
// Whether a chunk of length bytes with that number lies wholly within limit
// bytes (the announced size, or the bound kept before an offer is seen).
bool chunkFits(quint32 chunkNumber, qint64 length, qint64 limit);

// "12.00 Bytes", "0.98 KiB (1000 Bytes)": thresholds are powers of ten,
// divisors powers of two; exact adds the byte count from 1000 bytes on.
QString sizeText(qint64 bytes, bool exact);

// The offered name reduced to a bare file name: no directories of either
// separator, no control characters, never "." or ".."; an empty result
// becomes a neutral name.
QString safeFileName(const QString& offered);

} // namespace DTransferRules
