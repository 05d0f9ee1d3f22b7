/* A client program built against an installed TVXClientAPI: loads a library that does not exist and
 * prints the message the error pair carries. */
#include <stdio.h>
#include <wchar.h>

#include "TVXClientAPI.h"

int main(void) {
    int size = 0;
    wchar_t* message = NULL;
    QuorixCore_LoadAPI("/nonexistent/framework", "common", &size, &message);
    if (size == 0 || message == NULL || wcsncmp(message, L"Unable to load /nonexistent/framework", 37) != 0) {
        fprintf(stderr, "unexpected outcome: size %d\n", size);
        return 1;
    }
    printf("consumer: %ls\n", message);
    TVX_FreeErrorMessage(message);
    return 0;
}
