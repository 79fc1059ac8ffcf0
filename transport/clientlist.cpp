#include "clientlist.h"

#include "sessioncommands.h"

namespace ClientList {

QString listedName(const QString& name)
{
    QString listed = name;
    listed.replace(SessionCommand::kListSeparator, QString(kSeparatorStandIn));
    listed.replace(SessionCommand::kFieldSeparator, QString(kSeparatorStandIn));
    return listed;
}

QString format(const QVector<Entry>& entries)
{
    QStringList parts;
    parts.reserve(entries.size());
    for (const Entry& entry : entries) {
        parts << entry.tcpEnd + SessionCommand::kFieldSeparator + entry.udpEnd
                + SessionCommand::kFieldSeparator + listedName(entry.name);
    }
    return parts.join(SessionCommand::kListSeparator);
}

QVector<Entry> parse(const QString& list, QStringList* rejected)
{
    QVector<Entry> entries;
    const QStringList parts = list.split(SessionCommand::kListSeparator, Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        const QStringList fields = part.split(SessionCommand::kFieldSeparator, Qt::SkipEmptyParts);
        if (fields.size() < 3) {
            if (rejected)
                rejected->append(part);
            continue;
        }
        entries.append({ fields.at(0), fields.at(1), fields.at(2) });
    }
    return entries;
}

} // namespace ClientList
