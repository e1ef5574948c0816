/* floor_client ADDRESS PORT REPEAT LINE...: sends each LINE (a carriage return is added) on a
 * TCP connection of its own to ADDRESS:PORT, REPEAT times over, and prints the replies of the
 * last round, one per line. Exit code 0 when every exchange got a reply, 1 when one did not,
 * 2 for wrong arguments. */
#include "bench/floor_client.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

int floor_exchange(const struct sockaddr_in* address, const char* line, char* reply, size_t capacity,
                   int timeout_ms) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct timeval timeout = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    int length = -1;
    const size_t size = strlen(line);
    if (connect(fd, (const struct sockaddr*)address, sizeof *address) == 0 &&
        send(fd, line, size, MSG_NOSIGNAL) == (ssize_t)size) {
        shutdown(fd, SHUT_WR);
        size_t have = 0;
        while (have + 1 < capacity) {
            const ssize_t n = recv(fd, reply + have, capacity - 1 - have, 0);
            if (n <= 0) break;
            char* cr = memchr(reply + have, '\r', (size_t)n);
            if (cr != NULL) {
                length = (int)(cr - reply);
                break;
            }
            have += (size_t)n;
        }
    }
    close(fd);
    if (capacity > 0) reply[length >= 0 ? (size_t)length : 0] = '\0';
    return length;
}

#ifndef FLOOR_CLIENT_NO_MAIN
int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: floor_client ADDRESS PORT REPEAT LINE...\n");
        return 2;
    }
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    const long port = strtol(argv[2], NULL, 10);
    const long repeat = strtol(argv[3], NULL, 10);
    if (inet_pton(AF_INET, argv[1], &address.sin_addr) != 1 || port < 1 || port > 65535 || repeat < 0) {
        fprintf(stderr, "floor_client: bad address, port or repeat count\n");
        return 2;
    }
    address.sin_port = htons((unsigned short)port);
    char line[512];
    char reply[512];
    int failed = 0;
    for (long round = 0; round < repeat; ++round) {
        for (int i = 4; i < argc; ++i) {
            snprintf(line, sizeof line, "%s\r", argv[i]);
            const int length = floor_exchange(&address, line, reply, sizeof reply, 1000);
            if (length < 0) failed = 1;
            if (round + 1 == repeat) printf("%s\n", reply);
        }
    }
    return failed;
}
#endif
