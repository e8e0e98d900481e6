/* A C host that loads the Marvok library at run time, as VBA, LabVIEW or
 * ctypes do, and reads both measurements once.
 *
 *   read A.B.C.D [DELAY [LIBRARY]]
 *
 * LIBRARY defaults to libmarvok.so (Marvok.dll on Windows), found by the
 * system's search. Prints "FPM value" and "F value"; a failure goes to
 * stderr as "no connection" (exit 3) or "no reply" (exit 4). Builds with
 * any C99 compiler: cc read.c -o read -ldl (no -ldl on Windows). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "marvok.h"

#ifdef _WIN32
#include <windows.h>
#define DEFAULT_LIBRARY "Marvok.dll"
#else
#include <dlfcn.h>
#define DEFAULT_LIBRARY "libmarvok.so"
#endif

typedef double(MARVOK_CALL *measure_fn)(short, short, short, short, short);

/* Opens the library at `path` and finds the two measurement functions;
 * 0 on success, -1 with a message on stderr. */
static int load(const char *path, measure_fn read[2])
{
    static const char *const names[2] = {"MARVOK_MODBUS_READ_FPM", "MARVOK_MODBUS_READ_F"};
#ifdef _WIN32
    HMODULE lib = LoadLibraryA(path);
    if (!lib) {
        fprintf(stderr, "read: cannot load %s: error %lu\n", path, GetLastError());
        return -1;
    }
#else
    void *lib = dlopen(path, RTLD_NOW);
    if (!lib) {
        fprintf(stderr, "read: cannot load %s\n", dlerror());
        return -1;
    }
#endif
    for (int i = 0; i < 2; ++i) {
#ifdef _WIN32
        FARPROC fn = GetProcAddress(lib, names[i]);
        read[i] = (measure_fn)(void (*)(void))fn;
#else
        /* dlsym hands back functions as object pointers. */
        void *fn = dlsym(lib, names[i]);
        memcpy(&read[i], &fn, sizeof read[i]);
#endif
        if (!fn) {
            fprintf(stderr, "read: %s has no function %s\n", path, names[i]);
            return -1;
        }
    }
    return 0;
}

/* A decimal number from 0 to max followed by the character `end`, or -1.
 * `*next` is set to that character. */
static long parse_number(const char *text, char end, const char **next, long max)
{
    char *stop;
    if (*text < '0' || *text > '9')
        return -1;
    long value = strtol(text, &stop, 10);
    if (value > max || *stop != end)
        return -1;
    *next = stop;
    return value;
}

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 4) {
        fprintf(stderr, "usage: read A.B.C.D [DELAY [LIBRARY]]\n");
        return 2;
    }

    /* The library takes 16-bit parts and a 16-bit delay: check the ranges
     * here, so that a typo cannot wrap around to another address. */
    short part[4];
    const char *p = argv[1];
    for (int i = 0; i < 4; ++i) {
        long value = parse_number(p, i < 3 ? '.' : '\0', &p, 255);
        if (value < 0) {
            fprintf(stderr, "read: '%s' is not an IPv4 address a.b.c.d\n", argv[1]);
            return 2;
        }
        part[i] = (short)value;
        p += i < 3;
    }
    const char *end;
    long delay = argc > 2 ? parse_number(argv[2], '\0', &end, 32767) : 0;
    if (delay < 0) {
        fprintf(stderr, "read: the delay must be 0 to 32767 ms\n");
        return 2;
    }
    const char *library = argc > 3 ? argv[3] : DEFAULT_LIBRARY;

    static const char *const names[2] = {"FPM", "F"};
    measure_fn read[2];
    if (load(library, read) != 0)
        return 1;

    /* Calls block and must not overlap: one after the other, in one thread. */
    for (int i = 0; i < 2; ++i) {
        double value = read[i](part[0], part[1], part[2], part[3], (short)delay);
        if (value == MARVOK_RESULT_NO_CONNECTION) {
            fprintf(stderr, "read: no connection to %s\n", argv[1]);
            return 3;
        }
        if (value == MARVOK_RESULT_NO_REPLY) {
            fprintf(stderr, "read: no reply from %s\n", argv[1]);
            return 4;
        }
        printf("%s %.9g\n", names[i], value);
    }
    return 0;
}
