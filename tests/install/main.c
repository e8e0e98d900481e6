/* A host linked against the installed library: prints what it returns.
 *
 *   host A B C D      prints "revision R", "fpm V" and "f V" (%.9g) */
#include <stdio.h>
#include <stdlib.h>

#include <marvok.h>

int main(int argc, char **argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: host A B C D\n");
        return 2;
    }
    short part[4];
    for (int i = 0; i < 4; ++i)
        part[i] = (short)atoi(argv[1 + i]);
    printf("revision %.9g\n", MARVOK_MODBUS_READ_DLL_SOFTWARE_REVISION());
    printf("fpm %.9g\n", MARVOK_MODBUS_READ_FPM(part[0], part[1], part[2], part[3], 0));
    printf("f %.9g\n", MARVOK_MODBUS_READ_F(part[0], part[1], part[2], part[3], 0));
    return 0;
}
