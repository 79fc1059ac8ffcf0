#pragma once

#include <QtGlobal>

// A loopback port free for both TCP and UDP at the time of asking, or 0, for
// a server that a test or a benchmark starts in another process (which cannot
// be told to take port 0 and say which it got). Another program may take the
// port before the server binds it.
quint16 freePort();
