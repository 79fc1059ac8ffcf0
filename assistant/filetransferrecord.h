#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <limits>

// One incoming transfer as the receiving side keeps it, from its first chunk
// or its offer until all bytes are in, the sender cancels, the user cancels,
// or it stalls. Plain data owned by TransferBook.
struct FileTransferRecord
{
    static constexpr qint64 kUnknownSize = std::numeric_limits<qint64>::max();

    // Accepted, or accepted for now: chunks are kept while the offer is not
    // yet seen or the user is still deciding.
    bool accepted = true;
    qint64 size = kUnknownSize;
    qint64 received = 0;
    QByteArray data;
    QString fileName;
    QString senderName;
    QString savePath;

    bool offerSeen = false;
    // The question or the save dialog is open.
    bool deciding = false;
    // Chunk number -> length: a number seen twice is not counted twice.
    QHash<quint32, int> chunks;
    // When the last chunk (or the offer that opened the record) came, on the
    // book's clock.
    qint64 lastChunkMs = 0;
};

// How a transfer that has left the running list ended.
enum class TransferOutcome { Completed, Cancelled, Stalled, NotSaved };

// A finished transfer in the list below the running ones.
struct CompletedTransfer
{
    QString fileName;
    QString senderName;
    QString savePath;
    qint64 size = 0;
    TransferOutcome outcome = TransferOutcome::Completed;
};
