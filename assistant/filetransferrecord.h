#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <limits>

// One incoming transfer as the receiving window keeps it, from its first
// chunk or its offer until all bytes are in, the sender cancels, the user
// cancels, or it stalls. Plain data owned by DFileReceiver.
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
    QElapsedTimer lastChunk;
    QPointer<QWidget> dialog;
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
