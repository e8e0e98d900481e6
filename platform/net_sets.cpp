// Socket sets: the same list of handles on every platform.
#include "net.h"

void net_fd_zero(net_fd_set* set) { set->fd_count = 0; }

void net_fd_set_add(net_socket_t s, net_fd_set* set)
{
    for (unsigned i = 0; i < set->fd_count; ++i)
        if (set->fd_array[i] == s)
            return;
    if (set->fd_count < NET_FD_SETSIZE)
        set->fd_array[set->fd_count++] = s;
}
