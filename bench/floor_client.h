#ifndef VM_BENCH_FLOOR_CLIENT_H
#define VM_BENCH_FLOOR_CLIENT_H
/* The least a host can do for one exchange with the controller over TCP: connect, send the
 * command line, close the sending half, read to the reply's carriage return, close. No link
 * object, no buffers but the caller's, blocking calls with a receive timeout. The benchmarks
 * compare the tool and the LAN link with this floor. */
#include <netinet/in.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Sends `line` (which should end in a carriage return) to `address` on a connection of its own
 * and stores the reply up to its carriage return, terminated, in `reply` (at most capacity - 1
 * characters). Returns the reply length, or -1 when the connection or the send failed or no
 * carriage return came within `timeout_ms`. */
int floor_exchange(const struct sockaddr_in* address, const char* line, char* reply, size_t capacity,
                   int timeout_ms);

#ifdef __cplusplus
}
#endif

#endif
