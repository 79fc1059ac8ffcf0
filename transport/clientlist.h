#pragma once

#include "wirelib_global.h"

#include <QString>
#include <QStringList>
#include <QVector>

// The class list that follows "CLLS": one entry per ready client, entries
// joined by "|", an entry's TCP end, UDP end and name joined by "\". Names are
// not escaped on the wire, so the server lists a separator inside a name as
// kSeparatorStandIn. Written by the classroom server, read by the windows.
namespace ClientList {

struct Entry
{
    QString tcpEnd;
    QString udpEnd;
    QString name;

    bool operator==(const Entry& other) const
    {
        return tcpEnd == other.tcpEnd && udpEnd == other.udpEnd && name == other.name;
    }
};

// The character that stands for a separator found in a name.
inline constexpr QChar kSeparatorStandIn = QLatin1Char('_');

// The name as the list shows it: every list or field separator replaced.
WIRELIB_EXPORT QString listedName(const QString& name);

// The list text after the keyword; no entries give the empty text.
WIRELIB_EXPORT QString format(const QVector<Entry>& entries);

// The entries of a list text. Empty parts are dropped at both levels, so an
// entry needs a non-empty TCP end, UDP end and name (a nameless client is
// left out); entries without three fields go to rejected, fields after the
// third are ignored.
WIRELIB_EXPORT QVector<Entry> parse(const QString& list, QStringList* rejected = nullptr);

} // namespace ClientList
