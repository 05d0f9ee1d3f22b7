/* On Windows the public headers declare the heap functions they need themselves: a client that
 * includes <windows.h> before or after them sees matching declarations, and one that does not keeps
 * its namespace free of the system's macros. */
#include "TVXClientAPI.h"
#if defined(min) || defined(max) || defined(WINAPI)
#  error "the public headers must not include <windows.h>"
#endif
#include <windows.h>

int tvx_header_windows_check(void);
int tvx_header_windows_check(void) {
    wchar_t* message = (wchar_t*)HeapAlloc(GetProcessHeap(), 0, 4 * sizeof(wchar_t));
    TVX_FreeErrorMessage(message);
    return 0;
}
