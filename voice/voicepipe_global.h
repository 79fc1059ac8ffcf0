#pragma once

#include <QtGlobal>

// voicepipe is a shared library; voicepipe_podium is the same code built
// statically into podium, so its symbols need no export decoration.
#if defined(VOICEPIPE_PODIUM_BUILD)
#define VOICEPIPE_EXPORT
#elif defined(VOICEPIPE_LIBRARY)
#define VOICEPIPE_EXPORT Q_DECL_EXPORT
#else
#define VOICEPIPE_EXPORT Q_DECL_IMPORT
#endif
