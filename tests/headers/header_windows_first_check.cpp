// <windows.h> first, then the public headers: their own declarations of the heap functions agree.
#include <windows.h>

#include "TVXClientAPI.h"

int tvx_header_windows_first_check();
int tvx_header_windows_first_check() {
    TVX_FreeErrorMessage(nullptr);
    return 0;
}
