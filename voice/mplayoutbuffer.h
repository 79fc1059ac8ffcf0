#pragma once

#include "voicepipe_global.h"

#include <QByteArray>

// The collector of the notification-paced decoders and the slow sender: audio
// is written at a write position, which may be moved back and forth, and
// handed out from a read position that only moves forward. Positions are
// offsets in the whole stream since construction; the bytes before the read
// position are never needed again and are released from time to time, so a
// long stretch of playback does not keep every byte in memory. Plain value
// owned by its codec; owner's thread.
class VOICEPIPE_EXPORT MPlayoutBuffer
{
public:
    MPlayoutBuffer() = default;

    // Write position: where the next write goes.
    qint64 position() const { return m_position; }
    // Stream length: the end of everything ever written.
    qint64 size() const { return m_base + m_storage.size(); }
    qint64 readPosition() const { return m_readPos; }
    // Bytes between the read and the write position.
    qint64 available() const { return m_position - m_readPos; }

    // Writes at the write position and moves it past the data.
    void write(const char* data, int size);
    void write(const QByteArray& data) { write(data.constData(), data.size()); }
    // Writes `block` `count` times in one go.
    void writeRepeated(const QByteArray& block, int count);
    // Moves the write position; never before the read position.
    void seek(qint64 position);

    // Up to `size` bytes from the read position (valid until the next write
    // or advance); the read position does not move.
    const char* peek(int size, int* got) const;
    // Moves the read position forward by up to `size` bytes, never past the
    // write position.
    void advance(int size);

private:
    void releasePlayed();

    QByteArray m_storage; // the stream from m_base on
    qint64 m_base = 0;
    qint64 m_position = 0;
    qint64 m_readPos = 0;
};
