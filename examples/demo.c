/*
 * A small client of TVXClientAPI: loads the recording doubles as the in-process ("common") and the
 * server ("remote") libraries, and shows what the loader reports when a load fails.
 *
 *     demo <directory of the doubles>
 */
#include <stdio.h>
#include <string.h>

#include "TVXClientAPI.h"

#if defined(_WIN32)
#define SEP "\\"
#else
#define SEP "/"
#endif

static char path_buffer[4096];

static const char* in_dir(const char* dir, const char* file) {
    snprintf(path_buffer, sizeof path_buffer, "%s" SEP "%s", dir, file);
    return path_buffer;
}

/* Prints the outcome of a load or unload and frees the message. */
static int report(const char* what, int size, wchar_t* message) {
    if (size == 0) {
        printf("  %-58s ok\n", what);
        return 0;
    }
    printf("  %-58s failed:\n    ", what);
    for (const wchar_t* p = message; p != NULL && *p != 0; ++p) putchar(*p < 128 ? (int)*p : '?');
    putchar('\n');
    TVX_FreeErrorMessage(message);
    return 1;
}

int main(int argc, char** argv) {
    const char* dir = argc > 1 ? argv[1] : ".";
    int size = 0;
    wchar_t* message = NULL;
    int failures = 0;

    printf("Strict loads resolve every entry of the name's classes or fail:\n");
    QuorixCore_LoadAPIWithOptions(in_dir(dir, "double_common"), "common", 0, &size, &message);
    failures += report("double_common as \"common\" (common and both entries)", size, message);
    QuorixCore_LoadAPIWithOptions(in_dir(dir, "double_remote"), "remote", 0, &size, &message);
    failures += report("double_remote as \"remote\" (remote and both entries)", size, message);

    printf("\nLoads that fail say why:\n");
    QuorixCore_LoadAPIWithOptions(in_dir(dir, "double_remote_missing"), "remote2", 0, &size, &message);
    report("double_remote_missing as \"remote2\" (both entries only)", size, message);
    QuorixCore_LoadAPIWithOptions(in_dir(dir, "double_remote_missing"), "remote", 0, &size, &message);
    report("again as \"remote\": \"remote\" is taken, so only counted", size, message);
    QuorixCore_UnloadAPI("remote", &size, &message);
    QuorixCore_UnloadAPI("remote", &size, &message);
    report("unload \"remote\" twice", size, message);
    QuorixCore_LoadAPIWithOptions(in_dir(dir, "double_remote_missing"), "remote", 0, &size, &message);
    report("double_remote_missing as \"remote\", strict", size, message);
    QuorixCore_LoadAPI(in_dir(dir, "no_such_library"), "common2", &size, &message);
    report("a file that does not exist", size, message);
    QuorixCore_UnloadAPI("never_loaded", &size, &message);
    report("unload a name never loaded", size, message);

    printf("\nUnloading the empty name releases every library:\n");
    QuorixCore_LoadAPI(in_dir(dir, "double_common"), "", &size, &message);
    failures += report("double_common as \"\"", size, message);
    QuorixCore_UnloadAPI("", &size, &message);
    failures += report("unload \"\"", size, message);
    QuorixCore_UnloadAPI("common", &size, &message);
    report("unload \"common\" afterwards", size, message);
    return failures == 0 ? 0 : 1;
}
