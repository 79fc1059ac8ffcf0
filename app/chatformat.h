#pragma once

#include <QString>

// How both client windows show chat: a received message as one rich-text
// line, and the coloured status lines. Plain functions of their inputs.
namespace ChatFormat {

// The name shown for a sender and the span style around it: "|Teacher|" and
// "|Server|" have roles of their own, the client's own identity shows as "Me".
struct Sender
{
    QString shownName;
    QString style;
};
Sender sender(const QString& senderIdName, const QString& ownIdentity);

// "<span STYLE><b>NAME: </b></span>MESSAGE\r\n". Name and message come from
// other clients and are escaped: shown as text, never as markup, so nobody can
// put images, links or fake status lines into everybody's chat area.
QString messageLine(
    const QString& senderIdName, const QString& message, const QString& ownIdentity);

// "<span style='color: COLOUR;'><b>TEXT</b></span>\r\n" (TEXT is the
// program's own and is not escaped).
QString statusLine(const QString& colour, const QString& text);
// An orange status line whose text is escaped: transfers and the address
// service put file names and the service's answers in it.
QString noticeLine(const QString& text);

} // namespace ChatFormat
