/* A host as VBA or LabVIEW is one: loads Marvok.dll at run time and calls its
 * functions, resolved either by name or by ordinal.
 *
 *   load_host name|ordinal DLL A B C D DELAY
 *
 * prints "revision R", "fpm V" and "f V" (V with %.9g); exit 0 when the
 * library loaded and every function resolved. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "marvok.h"

typedef double(MARVOK_CALL* revision_fn)(void);
typedef double(MARVOK_CALL* measure_fn)(short, short, short, short, short);

static FARPROC resolve(HMODULE lib, int by_ordinal, const char* name, WORD ordinal)
{
    FARPROC fn = by_ordinal ? GetProcAddress(lib, MAKEINTRESOURCEA(ordinal))
                            : GetProcAddress(lib, name);
    if (!fn)
        fprintf(stderr, "cannot resolve %s (ordinal %u): error %lu\n", name, ordinal,
                GetLastError());
    return fn;
}

int main(int argc, char** argv)
{
    if (argc != 8) {
        fprintf(stderr, "usage: load_host name|ordinal DLL A B C D DELAY\n");
        return 2;
    }
    const int by_ordinal = strcmp(argv[1], "ordinal") == 0;
    short args[5];
    for (int i = 0; i < 5; ++i)
        args[i] = (short)atoi(argv[3 + i]);

    HMODULE lib = LoadLibraryA(argv[2]);
    if (!lib) {
        fprintf(stderr, "cannot load %s: error %lu\n", argv[2], GetLastError());
        return 1;
    }
    revision_fn revision =
        (revision_fn)(void*)resolve(lib, by_ordinal, "MARVOK_MODBUS_READ_DLL_SOFTWARE_REVISION", 1);
    measure_fn fpm = (measure_fn)(void*)resolve(lib, by_ordinal, "MARVOK_MODBUS_READ_FPM", 2);
    measure_fn f = (measure_fn)(void*)resolve(lib, by_ordinal, "MARVOK_MODBUS_READ_F", 3);
    if (!revision || !fpm || !f)
        return 1;

    printf("revision %.9g\n", revision());
    printf("fpm %.9g\n", fpm(args[0], args[1], args[2], args[3], args[4]));
    printf("f %.9g\n", f(args[0], args[1], args[2], args[3], args[4]));
    fflush(stdout);
    FreeLibrary(lib);
    return 0;
}
