/* KQVXI_API marks the calls the client library exports: every other symbol of
   the library is hidden. Building the library defines KQVXI_BUILDING_LIBRARY. */
#ifndef KQVXI_API_H
#define KQVXI_API_H

#if defined(_WIN32)
#if defined(KQVXI_BUILDING_LIBRARY)
#define KQVXI_API __declspec(dllexport)
#else
#define KQVXI_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define KQVXI_API __attribute__((visibility("default")))
#else
#define KQVXI_API
#endif

#endif
