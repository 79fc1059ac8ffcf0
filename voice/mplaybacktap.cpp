#include "mplaybacktap.h"

MPlaybackTap::MPlaybackTap(QIODevice* target, QObject* parent) : QIODevice(parent), m_target(target)
{
    open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

MPlaybackTap::~MPlaybackTap() = default;

qint64 MPlaybackTap::readData(char*, qint64)
{
    return -1;
}

qint64 MPlaybackTap::writeData(const char* data, qint64 size)
{
    const qint64 accepted = m_target->write(data, size);
    if (accepted > 0)
        emit played(QByteArray(data, int(accepted)));
    return accepted;
}
