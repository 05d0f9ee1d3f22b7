// The call recorder shared by the recording doubles and the tests that load them.
//
// Every double entry reports its call here: the double's library id, the slot, the entry name and
// the arguments. Tests read the log, set the result or error an entry returns, and keep a ledger of
// the objects the doubles hand out, to prove each is released exactly once.
#pragma once

#include <stddef.h>
#include <wchar.h>

#if defined(_WIN32)
#  if defined(TVXREC_BUILDING)
#    define TVXREC_API __declspec(dllexport)
#  else
#    define TVXREC_API __declspec(dllimport)
#  endif
#else
#  define TVXREC_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum TvxRecKind { TVXREC_INT = 1, TVXREC_UINT, TVXREC_DOUBLE, TVXREC_PTR, TVXREC_STR };

typedef struct TvxRecArg {
    int kind;
    long long i;
    unsigned long long u;
    double d;
    const void* p;  // pointers and strings (the string's address)
    const char* s;  // strings: the text, copied by the recorder
} TvxRecArg;

// --- used by the doubles -------------------------------------------------------------------------
TVXREC_API void tvxrec_record(const char* library, int slot, const char* entry, int nargs, const TvxRecArg* args);
// The result configured for (library, entry); when none is and `is_object` is set and the library
// hands out objects, a new ledger object. Returns 1 when *bits was set.
TVXREC_API int tvxrec_result(const char* library, const char* entry, int is_object, unsigned long long* bits);
// Applies the failure configured for (library, entry) to the error pair; returns 1 if it did.
TVXREC_API int tvxrec_fail(const char* library, const char* entry, int* size, wchar_t** message);
// A releasing entry received `object`: counts the release in the ledger (when it is a ledger object).
TVXREC_API void tvxrec_release(const char* library, const void* object);

// --- used by tests -------------------------------------------------------------------------------
TVXREC_API void tvxrec_reset(void);  // log, configuration and ledger
TVXREC_API void tvxrec_clear_log(void);  // the log only
TVXREC_API void tvxrec_clear_results(void);  // configured results and errors only
TVXREC_API size_t tvxrec_count(void);
TVXREC_API const char* tvxrec_library(size_t call);
TVXREC_API const char* tvxrec_entry(size_t call);
TVXREC_API int tvxrec_slot(size_t call);
TVXREC_API int tvxrec_nargs(size_t call);
TVXREC_API const TvxRecArg* tvxrec_arg(size_t call, int index);

TVXREC_API void tvxrec_set_result(const char* library, const char* entry, unsigned long long bits);
TVXREC_API void tvxrec_set_double_result(const char* library, const char* entry, double value);
TVXREC_API void tvxrec_set_error(const char* library, const char* entry, const wchar_t* text);
// Entries of `library` that succeed write 0 to the error size, as most implementations do.
TVXREC_API void tvxrec_clear_size_on_success(const char* library, int on);
TVXREC_API int tvxrec_clears_size_on_success(const char* library);
// Object-returning entries of `library` return new ledger objects unless configured otherwise.
TVXREC_API void tvxrec_hand_out_objects(const char* library, int on);

TVXREC_API void* tvxrec_new_object(const char* library);
TVXREC_API const char* tvxrec_object_library(const void* object);  // null when not a ledger object
TVXREC_API size_t tvxrec_objects_created(void);
TVXREC_API size_t tvxrec_objects_live(void);             // created and not released
TVXREC_API size_t tvxrec_objects_released_twice(void);   // release calls on already released objects

// Where the failure messages of a library's entries come from. Shared (the default): the
// process-wide message allocator, which clients release with TVX_FreeErrorMessage. Static: a text
// held in static storage, the same buffer on every call. Counting: an arena of the recorder's own
// that counts what it hands out and what comes back. Static and counting buffers are not heap
// memory: freeing one with the process allocator is an invalid free.
enum TvxRecMessageSource { TVXREC_MESSAGES_SHARED = 0, TVXREC_MESSAGES_STATIC, TVXREC_MESSAGES_COUNTING };
TVXREC_API void tvxrec_message_source(const char* library, int source);
TVXREC_API size_t tvxrec_counted_messages_made(void);
TVXREC_API size_t tvxrec_counted_messages_live(void);  // made and not returned
// Gives a counted message back to the arena; 1 when it was a live message of the arena.
TVXREC_API int tvxrec_return_counted_message(wchar_t* message);
// Whether `message` lies in the recorder's static or counting storage.
TVXREC_API int tvxrec_is_recorder_message(const wchar_t* message);

// Shared messages come from the process-wide message allocator, like this library's.
TVXREC_API void tvxrec_free_message(wchar_t* message);

#ifdef __cplusplus
}
#endif
