/* A client for tvxtrace's tests, on the in-process sample: it counts the calls it makes and prints
 * "calls N" last, so a test can hold the trace against it.
 *   trace_client BINDIR leak      makes two scopings and two fields, releases one of each
 *   trace_client BINDIR twice     releases a scoping twice, then asks it its size
 *   trace_client BINDIR threads   four threads, each making, filling, reading and releasing fields
 *   trace_client BINDIR crash     makes a scoping, then dies of SIGSEGV
 *   trace_client BINDIR fork      makes a scoping, forks a child that makes and releases one, then
 *                                 releases its own (the parent's count only) */
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TVXClientAPI.h"

static int calls;
static pthread_mutex_t calls_lock = PTHREAD_MUTEX_INITIALIZER;

static void counted(int n) {
    pthread_mutex_lock(&calls_lock);
    calls += n;
    pthread_mutex_unlock(&calls_lock);
}

static void expect(int size, wchar_t* message, const char* what) {
    if (size != 0) {
        fprintf(stderr, "%s failed: %ls\n", what, message);
        exit(3);
    }
}

static void* fields(void* unused) {
    (void)unused;
    double values[4] = {1, 2, 3, 4};
    for (int i = 0; i < 25; ++i) {
        int size = 0;
        wchar_t* message = NULL;
        TvxObject* f = Field_new(2, 2, "Nodal", &size, &message);
        expect(size, message, "Field_new");
        CSField_SetData(f, 4, values, &size, &message);
        expect(size, message, "CSField_SetData");
        if (CSField_GetNumberOfComponents(f, &size, &message) != 2) exit(4);
        Quorix_delete_shared_object(f, &size, &message);
        expect(size, message, "Quorix_delete_shared_object");
        counted(4);
    }
    return NULL;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: trace_client BINDIR leak|twice|threads|crash\n");
        return 2;
    }
    char path[4096];
    snprintf(path, sizeof path, "%s/tvx_sample_inprocess", argv[1]);
    const char* mode = argv[2];
    int size = 0;
    wchar_t* message = NULL;
    QuorixCore_LoadAPI(path, "common", &size, &message);
    expect(size, message, "QuorixCore_LoadAPI");
    counted(1);

    if (strcmp(mode, "leak") == 0) {
        TvxObject* kept = Scoping_new(&size, &message);
        TvxObject* released = Scoping_new(&size, &message);
        TvxObject* field = Field_new(1, 3, "Nodal", &size, &message);
        TvxObject* other = Field_new(1, 3, "Elemental", &size, &message);
        Quorix_delete_shared_object(released, &size, &message);
        Quorix_delete_shared_object(other, &size, &message);
        expect(size, message, "releasing");
        counted(6);
        (void)kept;
        (void)field;
    } else if (strcmp(mode, "twice") == 0) {
        TvxObject* scoping = Scoping_new(&size, &message);
        Quorix_delete_shared_object(scoping, &size, &message);
        expect(size, message, "the first release");
        Quorix_delete_shared_object(scoping, &size, &message);
        if (size == 0) return 5;  /* refused: reported through the pair */
        printf("second release: %ls\n", message);
        const int ids = Scoping_GetSize(scoping, &size, &message);
        if (size == 0 || ids != 0) return 6;
        counted(4);
    } else if (strcmp(mode, "threads") == 0) {
        pthread_t threads[4];
        for (int t = 0; t < 4; ++t) pthread_create(&threads[t], NULL, fields, NULL);
        for (int t = 0; t < 4; ++t) pthread_join(threads[t], NULL);
    } else if (strcmp(mode, "fork") == 0) {
        TvxObject* mine = Scoping_new(&size, &message);
        const pid_t child = fork();
        if (child == 0) {
            TvxObject* theirs = Scoping_new(&size, &message);
            Quorix_delete_shared_object(theirs, &size, &message);
            exit(size == 0 ? 0 : 7);
        }
        int status = 0;
        waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 8;
        Quorix_delete_shared_object(mine, &size, &message);
        counted(2);
    } else if (strcmp(mode, "crash") == 0) {
        TvxObject* scoping = Scoping_new(&size, &message);
        counted(1);
        printf("calls %d\n", calls);
        fflush(stdout);
        (void)scoping;
        raise(SIGSEGV);
    } else {
        return 2;
    }
    QuorixCore_UnloadAPI("common", &size, &message);
    counted(1);
    printf("calls %d\n", calls);
    return 0;
}
