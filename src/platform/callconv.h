// Calling conventions of the board's driver library: its operations and the
// handlers installed in it are callee-cleans with one 32-bit slot per argument.
#pragma once

#if defined(_WIN32) && !defined(_WIN64)
#define KQ_STDCALL __stdcall
#else
#define KQ_STDCALL
#endif

#if defined(_WIN32)
#define KQ_EXPORT __declspec(dllexport)
#define KQ_IMPORT __declspec(dllimport)
#else
#define KQ_EXPORT __attribute__((visibility("default")))
#define KQ_IMPORT
#endif
