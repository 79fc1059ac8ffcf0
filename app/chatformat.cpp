#include "chatformat.h"

#include "sessioncommands.h"

namespace ChatFormat {

Sender sender(const QString& senderIdName, const QString& ownIdentity)
{
    if (senderIdName == SessionCommand::kTeacherSender)
        return { QStringLiteral("Teacher"), QStringLiteral("style='color: #FF4000;'") };
    if (senderIdName == SessionCommand::kServerSender)
        return { QStringLiteral("Server"), QStringLiteral("style='color: #800020;'") };
    if (senderIdName == ownIdentity)
        return { QStringLiteral("Me"), QStringLiteral("style='color: blue;'") };
    return { senderIdName, QString() };
}

QString messageLine(const QString& senderIdName, const QString& message, const QString& ownIdentity)
{
    const Sender shown = sender(senderIdName, ownIdentity);
    // One pass over the template: a "%3" inside the message stays literal.
    return QStringLiteral("<span %3><b>%1: </b></span>%2\r\n")
        .arg(shown.shownName.toHtmlEscaped(), message.toHtmlEscaped(), shown.style);
}

QString statusLine(const QString& colour, const QString& text)
{
    return QStringLiteral("<span style='color: ") + colour + QStringLiteral(";'><b>") + text
        + QStringLiteral("</b></span>\r\n");
}

QString noticeLine(const QString& text)
{
    return statusLine(QStringLiteral("#FF8000"), text.toHtmlEscaped());
}

} // namespace ChatFormat
