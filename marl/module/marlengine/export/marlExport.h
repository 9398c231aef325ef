/*
 * MARLCLIENT_API marks the functions that libmarlclient exports. The library's
 * own build compiles with hidden visibility and defines MARLCLIENT_BUILDING,
 * so only the marked functions become visible; to callers the mark is empty.
 *
 * Plain C (C99 and later) and C++.
 */
#ifndef MARLENGINE_MARLEXPORT_H
#define MARLENGINE_MARLEXPORT_H

#if defined(MARLCLIENT_BUILDING)
#define MARLCLIENT_API __attribute__((visibility("default")))
#else
#define MARLCLIENT_API
#endif

#endif /* MARLENGINE_MARLEXPORT_H */
