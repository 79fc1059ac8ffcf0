#pragma once

#include <QtGlobal>

#if defined(WIRELIB_LIBRARY)
#define WIRELIB_EXPORT Q_DECL_EXPORT
#else
#define WIRELIB_EXPORT Q_DECL_IMPORT
#endif
