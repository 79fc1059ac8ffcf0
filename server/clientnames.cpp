#include "clientnames.h"

#include "sessioncommands.h"

QString ClientNames::listSafe(const QString& name)
{
    QString safe = name;
    safe.replace(SessionCommand::kListSeparator, QString(kSeparatorStandIn));
    safe.replace(SessionCommand::kFieldSeparator, QString(kSeparatorStandIn));
    return safe;
}
