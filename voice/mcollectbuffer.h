#pragma once

#include "voicepipe_global.h"

#include <QByteArray>

// Gathers audio until a threshold is reached and then hands it on as one
// block: the collecting step shared by the burst collector, the recording
// collector and the flushing encoders. Writing restarts at the front after
// every take(). Plain value owned by its codec; owner's thread.
class VOICEPIPE_EXPORT MCollectBuffer
{
public:
    explicit MCollectBuffer(int threshold);

    int threshold() const { return m_threshold; }
    // Bytes collected since the last take (the buffer's position).
    int position() const { return m_position; }
    // Bytes the storage holds (it never shrinks).
    int size() const { return m_storage.size(); }

    // Writes at the position; true when the position reached the threshold.
    bool write(const char* data, int size);
    bool write(const QByteArray& data) { return write(data.constData(), data.size()); }
    // The "buff: " line: size, position, bytes after it, bytes to write (0),
    // and that the buffer is not sequential.
    void logState() const;

    // A copy of the collected bytes, and back to the front.
    QByteArray take();

private:
    QByteArray m_storage;
    int m_position = 0;
    int m_threshold;
};
