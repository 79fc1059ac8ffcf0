#pragma once

#include <QLatin1String>

// A compile-time QLatin1String of a string literal (the pointer-only
// constructor calls strlen, which is not constexpr on every compiler).
template <int N> constexpr QLatin1String wireText(const char (&text)[N])
{
    return QLatin1String(text, N - 1);
}
