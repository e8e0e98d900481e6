// The client context and the bracket around every exchange: start the socket
// library and connect, then pause, close and stop it again.
#include "modbus.h"

#include <cstdio>

modbus_context_t MODBUS_CONTEXT;

namespace {

constexpr std::uint16_t WINSOCK_VERSION_1_1 = 0x0101;
constexpr unsigned CLOSE_PAUSE_MS = 100;

bool is_address_part(std::int16_t part) { return part >= 0 && part <= 255; }

}  // namespace

int MODBUS_STARTUP()
{
    if (net_startup(WINSOCK_VERSION_1_1, &MODBUS_CONTEXT.wsa_data) != 0)
        return 1;
    return 0;
}

int MODBUS_OPEN(std::int16_t a, std::int16_t b, std::int16_t c, std::int16_t d)
{
    modbus_context_t& ctx = MODBUS_CONTEXT;

    // A part outside 0 to 255 can never be connected to, and its text may not
    // fit address_text: refuse it before anything is started or created.
    if (!is_address_part(a) || !is_address_part(b) || !is_address_part(c) || !is_address_part(d))
        return 1;
    if (MODBUS_STARTUP() != 0)
        return 1;

    // The parts are within 0 to 255 here, so the text needs at most 15 characters.
    std::snprintf(ctx.address_text, sizeof ctx.address_text, "%i.%i.%i.%i",
                  static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b),
                  static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(d));
    ctx.sock = net_socket(NET_AF_INET, NET_SOCK_STREAM, NET_IPPROTO_TCP);
    ctx.peer.sin_family = NET_AF_INET;
    ctx.peer.sin_port = net_htons(MODBUS_PORT);
    ctx.peer.sin_addr = net_inet_addr(ctx.address_text);

    if (net_connect(ctx.sock, &ctx.peer, sizeof ctx.peer) < 0) {
        net_closesocket(ctx.sock);
        // Each start is matched by one stop, so a host that keeps polling an
        // unreachable instrument does not pile up starts.
        net_cleanup();
        return 1;
    }
    return 0;
}

int MODBUS_CLOSE()
{
    net_sleep(CLOSE_PAUSE_MS);
    net_closesocket(MODBUS_CONTEXT.sock);
    net_cleanup();
    return 0;
}
