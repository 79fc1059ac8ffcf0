#pragma once

#include <QtGlobal>

#if defined(CODECWRAP_LIBRARY)
#define CODECWRAP_EXPORT Q_DECL_EXPORT
#else
#define CODECWRAP_EXPORT Q_DECL_IMPORT
#endif
