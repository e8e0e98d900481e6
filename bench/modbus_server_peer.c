/* marvok-bench-modbus-peer: libmodbus's own server, in the loop its examples
 * use for many clients (select over the listener and every connection, then
 * modbus_receive and modbus_reply for the one that is readable), serving the
 * instrument's input registers: FPM in 0-1 and F in 4-5, low-order word
 * first. The benchmarks measure the simulator against it.
 *
 *   marvok-bench-modbus-peer --listen ADDR [--port N] [--fpm X] [--f X]
 *
 * Prints "listening on ADDR:PORT" when ready; stops on SIGINT or SIGTERM. */
#include <modbus/modbus.h>

#include <arpa/inet.h>
#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

static volatile sig_atomic_t stopping = 0;

static void on_signal(int sig)
{
    (void)sig;
    stopping = 1;
}

static void store_float(uint16_t* registers, float value)
{
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    registers[0] = (uint16_t)(bits & 0xFFFF);
    registers[1] = (uint16_t)(bits >> 16);
}

static int usage(const char* message)
{
    fprintf(stderr, "marvok-bench-modbus-peer: %s\n", message);
    fprintf(stderr, "usage: marvok-bench-modbus-peer --listen ADDR [--port N] [--fpm X] [--f X]\n");
    return 2;
}

static int parse_float(const char* text, float* value)
{
    char* end = NULL;
    errno = 0;
    *value = strtof(text, &end);
    return *text != '\0' && *end == '\0' && errno == 0;
}

int main(int argc, char** argv)
{
    const char* address = NULL;
    long port = 502;
    float fpm = 350.0f, f = 50.0f;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            printf("usage: marvok-bench-modbus-peer --listen ADDR [--port N] [--fpm X] [--f X]\n"
                   "libmodbus's select server loop serving FPM (input registers 0-1) and F (4-5).\n");
            return 0;
        }
        if (i + 1 >= argc)
            return usage("every option needs a value");
        const char* value = argv[++i];
        char* end = NULL;
        if (strcmp(argv[i - 1], "--listen") == 0)
            address = value;
        else if (strcmp(argv[i - 1], "--port") == 0) {
            port = strtol(value, &end, 10);
            if (*value == '\0' || *end != '\0' || port < 1 || port > 65535)
                return usage("--port needs 1..65535");
        } else if (strcmp(argv[i - 1], "--fpm") == 0) {
            if (!parse_float(value, &fpm))
                return usage("--fpm needs a number");
        } else if (strcmp(argv[i - 1], "--f") == 0) {
            if (!parse_float(value, &f))
                return usage("--f needs a number");
        } else
            return usage("unknown option");
    }
    if (!address)
        return usage("--listen ADDR is required");
    /* libmodbus would take a malformed address as 255.255.255.255. */
    struct in_addr parsed;
    if (inet_pton(AF_INET, address, &parsed) != 1)
        return usage("--listen needs a numeric IPv4 address");

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_signal;
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);
    signal(SIGPIPE, SIG_IGN);

    modbus_t* ctx = modbus_new_tcp(address, (int)port);
    modbus_mapping_t* mapping = modbus_mapping_new(0, 0, 100, 10);
    if (!ctx || !mapping) {
        fprintf(stderr, "marvok-bench-modbus-peer: %s\n", modbus_strerror(errno));
        return 1;
    }
    store_float(mapping->tab_input_registers, fpm);
    store_float(mapping->tab_input_registers + 4, f);

    const int server = modbus_tcp_listen(ctx, 1024);
    if (server < 0) {
        fprintf(stderr, "marvok-bench-modbus-peer: cannot listen on %s:%ld: %s\n", address, port,
                modbus_strerror(errno));
        modbus_mapping_free(mapping);
        modbus_free(ctx);
        return 2;
    }
    printf("listening on %s:%ld\n", address, port);
    fflush(stdout);

    fd_set refset;
    FD_ZERO(&refset);
    FD_SET(server, &refset);
    int fdmax = server;
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];

    while (!stopping) {
        fd_set rdset = refset;
        if (select(fdmax + 1, &rdset, NULL, NULL, NULL) == -1) {
            if (errno == EINTR)
                continue;
            perror("marvok-bench-modbus-peer: select");
            break;
        }
        for (int fd = 0; fd <= fdmax; ++fd) {
            if (!FD_ISSET(fd, &rdset))
                continue;
            if (fd == server) {
                const int client = accept(server, NULL, NULL);
                if (client < 0)
                    continue;
                if (client >= FD_SETSIZE) {
                    /* select cannot watch it. */
                    close(client);
                    continue;
                }
                FD_SET(client, &refset);
                if (client > fdmax)
                    fdmax = client;
                continue;
            }
            modbus_set_socket(ctx, fd);
            const int rc = modbus_receive(ctx, query);
            if (rc > 0) {
                modbus_reply(ctx, query, rc, mapping);
            } else if (rc == -1) {
                close(fd);
                FD_CLR(fd, &refset);
                while (fdmax > server && !FD_ISSET(fdmax, &refset))
                    --fdmax;
            }
        }
    }

    for (int fd = 0; fd <= fdmax; ++fd)
        if (fd != server && FD_ISSET(fd, &refset))
            close(fd);
    close(server);
    modbus_mapping_free(mapping);
    modbus_free(ctx);
    return 0;
}
