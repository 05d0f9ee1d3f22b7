/* Basic types of the TVXClientAPI interface: handles, the export macro and the error pair. */
#ifndef TVX_TYPES_H
#define TVX_TYPES_H

#include <stddef.h>
#include <wchar.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(TVX_BUILDING_LIBRARY)
#  if defined(_WIN32)
#    define TVX_API /* exported through the module definition file */
#  else
#    define TVX_API __attribute__((visibility("default")))
#  endif
#elif defined(_WIN32)
#  define TVX_API __declspec(dllimport)
#else
#  define TVX_API
#endif

/*
 * Client handles. Every framework object reaches the caller inside a handle that remembers which
 * loaded implementation library made it. Operators and workflows are TvxObject handles too.
 * A handle is released with Quorix_delete_shared_object or its family's releasing entry, never
 * with free(). SharedTvxVector handles are released with TvxVector_delete only.
 *
 * Threads: distinct handles may be used from several threads at once on a loaded set of libraries.
 * A caller must not load or unload while other threads call into this library, and must not use
 * one handle from two threads at once. Release handles before unloading the library that made them:
 * a handle kept past that reaches no library any more (each call on it, its release included,
 * reports "Invalid API pointer when calling function ..."), and what it holds is never freed.
 */
typedef struct TvxObject TvxObject;
typedef struct SharedTvxVector SharedTvxVector;

/*
 * The error pair. Nearly every entry ends with (int* error_size, wchar_t** error_message).
 * *error_size == 0 means success; anything else is a failure, and then *error_message points to a
 * zero-terminated wide-character message (UTF-16 on Windows, one wchar_t per code point elsewhere)
 * that the caller owns. *error_size is its length in wchar_t including the terminator; it is -1 in
 * the rare case that no memory was left for the text (the message is then null).
 *
 * Release a message with TVX_FreeErrorMessage. Messages this library makes come from the
 * allocator that every module of the process shares: malloc on POSIX systems, the process heap
 * (HeapAlloc(GetProcessHeap(), ...)) on Windows. A message an implementation library makes reaches
 * the caller unchanged (same pointer, same size), so this rule holds for it only when that library
 * allocates its messages the same way; the libraries built for this interface do. A library whose
 * messages come from elsewhere (static texts, a debug runtime's heap, an arena) must say how its
 * messages are released, and the caller follows that library's rule for them.
 *
 * This library itself never frees a message it did not make: a message it extends (" when calling
 * function ...") is a new buffer of its own holding a copy, and an implementation library's message
 * that never reaches the caller is dropped, not freed.
 */
#if defined(_WIN32)
/* The two process-heap functions the release needs, declared here (as the system declares them)
 * so that this header does not bring <windows.h> and its macros into every client. */
#ifdef __cplusplus
extern "C" {
#endif
__declspec(dllimport) void* __stdcall GetProcessHeap(void);
__declspec(dllimport) int __stdcall HeapFree(void* heap, unsigned long flags, void* memory);
#ifdef __cplusplus
}
#endif
static inline void TVX_FreeErrorMessage(wchar_t* message) {
    if (message != NULL) HeapFree(GetProcessHeap(), 0, message);
}
#else
#  include <stdlib.h>
static inline void TVX_FreeErrorMessage(wchar_t* message) { free(message); }
#endif

#endif
