#pragma once

#include <QString>

// Names as the server lists them. The client list joins entries with "|" and
// fields with "\", unescaped, so a listed name must hold neither.
namespace ClientNames {

// The character that stands for a separator found in a name.
inline constexpr QChar kSeparatorStandIn = QLatin1Char('_');

// The name with every list or field separator replaced by the stand-in.
QString listSafe(const QString& name);

} // namespace ClientNames
