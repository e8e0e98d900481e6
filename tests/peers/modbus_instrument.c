/* A small instrument written with libmodbus, the other side of the library
 * in the peer tests: it serves FPM in input registers 0-1 and F in 4-5,
 * stored with libmodbus's own float helper in the library's word order (low
 * word in the first register, each register high byte first), on ADDRESS
 * port 502, one connection after another, until it is stopped (or a minute
 * has passed).
 *
 *   modbus_instrument ADDRESS FPM F
 *
 * Prints "listening on ADDRESS:502" when ready; exit 2 for a bad command
 * line or an address it cannot listen on. */
#include <modbus.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: modbus_instrument ADDRESS FPM F\n");
        return 2;
    }
    char* end_fpm;
    char* end_f;
    const float fpm = strtof(argv[2], &end_fpm);
    const float f = strtof(argv[3], &end_f);
    if (*end_fpm || *end_f || end_fpm == argv[2] || end_f == argv[3]) {
        fprintf(stderr, "modbus_instrument: FPM and F must be numbers\n");
        return 2;
    }
    modbus_t* ctx = modbus_new_tcp(argv[1], 502);
    modbus_mapping_t* map = modbus_mapping_new(0, 0, 10, 10);
    if (!ctx || !map) {
        fprintf(stderr, "modbus_instrument: %s\n", modbus_strerror(errno));
        return 2;
    }
    /* dcba: in libmodbus 3.1.6 the helper whose registers hold the low word
     * first, high byte first (the peer tests prove which one it is). */
    modbus_set_float_dcba(fpm, map->tab_input_registers + 0);
    modbus_set_float_dcba(f, map->tab_input_registers + 4);

    const int listener = modbus_tcp_listen(ctx, 1);
    if (listener < 0) {
        fprintf(stderr, "modbus_instrument: cannot listen on %s:502: %s\n", argv[1], modbus_strerror(errno));
        return 2;
    }
    printf("listening on %s:502\n", argv[1]);
    fflush(stdout);
    alarm(60); /* whatever happens to the test, this ends */

    int server = listener;
    for (;;) {
        if (modbus_tcp_accept(ctx, &server) < 0)
            break;
        uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        for (;;) {
            const int length = modbus_receive(ctx, query);
            if (length < 0)
                break; /* the client closed */
            if (length > 0 && modbus_reply(ctx, query, length, map) < 0)
                break;
        }
        modbus_close(ctx); /* this connection; the listener stays */
        server = listener;
    }
    fprintf(stderr, "modbus_instrument: %s\n", modbus_strerror(errno));
    modbus_mapping_free(map);
    modbus_free(ctx);
    return 1;
}
