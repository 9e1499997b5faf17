/* A Modbus TCP server on libmodbus, the tests' peer of another make.
 *
 *     libmodbus_server
 *
 * Listens on a free loopback port and prints "port N". Serves every unit id
 * from one data store: 2000 coils, 64 discrete inputs, 200 holding and 32
 * input registers, all 0 at start. Its stdin takes commands that read or set
 * the store between requests, one a line, each answered with one line:
 *
 *     get TABLE ADDRESS COUNT        -> the values, separated by spaces
 *     set TABLE ADDRESS VALUE...     -> ok
 *
 * TABLE is c (coils), d (discrete inputs), h (holding) or i (input
 * registers). It ends when stdin ends. */
#include <arpa/inet.h>
#include <errno.h>
#include <modbus.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

enum { COILS = 2000, DISCRETE = 64, HOLDING = 200, INPUT = 32, MAX_CLIENTS = 64 };

static modbus_mapping_t *map;

/* The table a command names: its values as 16-bit or 8-bit cells. */
static int table(char name, uint16_t **words, uint8_t **bits, int *size)
{
    *words = NULL;
    *bits = NULL;
    switch (name) {
    case 'c': *bits = map->tab_bits; *size = COILS; return 0;
    case 'd': *bits = map->tab_input_bits; *size = DISCRETE; return 0;
    case 'h': *words = map->tab_registers; *size = HOLDING; return 0;
    case 'i': *words = map->tab_input_registers; *size = INPUT; return 0;
    default: return -1;
    }
}

static void command(char *line)
{
    char *save = NULL;
    char *verb = strtok_r(line, " \t\n", &save);
    char *name = strtok_r(NULL, " \t\n", &save);
    char *first = strtok_r(NULL, " \t\n", &save);
    uint16_t *words;
    uint8_t *bits;
    int size;
    if (!verb || !name || !first || table(name[0], &words, &bits, &size) < 0) {
        printf("error: bad command\n");
        return;
    }
    long address = strtol(first, NULL, 0);
    if (strcmp(verb, "get") == 0) {
        char *c = strtok_r(NULL, " \t\n", &save);
        long count = c ? strtol(c, NULL, 0) : 1;
        if (address < 0 || count < 0 || address + count > size) {
            printf("error: outside the table\n");
            return;
        }
        for (long k = 0; k < count; k++)
            printf(k ? " %u" : "%u", words ? (unsigned)words[address + k] : (unsigned)bits[address + k]);
        printf("\n");
    } else if (strcmp(verb, "set") == 0) {
        long k = address;
        for (char *v = strtok_r(NULL, " \t\n", &save); v; v = strtok_r(NULL, " \t\n", &save), k++) {
            if (k < 0 || k >= size) {
                printf("error: outside the table\n");
                return;
            }
            long value = strtol(v, NULL, 0);
            if (words)
                words[k] = (uint16_t)value;
            else
                bits[k] = value ? 1 : 0;
        }
        printf("ok\n");
    } else {
        printf("error: bad command\n");
    }
}

int main(void)
{
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", 0);
    map = modbus_mapping_new(COILS, DISCRETE, HOLDING, INPUT);
    if (!ctx || !map) {
        fprintf(stderr, "libmodbus: %s\n", modbus_strerror(errno));
        return 1;
    }
    int server = modbus_tcp_listen(ctx, 8);
    struct sockaddr_in bound;
    socklen_t length = sizeof bound;
    if (server < 0 || getsockname(server, (struct sockaddr *)&bound, &length) < 0) {
        fprintf(stderr, "listen: %s\n", modbus_strerror(errno));
        return 1;
    }
    printf("port %d\n", ntohs(bound.sin_port));
    fflush(stdout);

    int clients[MAX_CLIENTS];
    int nclients = 0;
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    char line[65536];
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(0, &readable);
        FD_SET(server, &readable);
        int top = server;
        for (int i = 0; i < nclients; i++) {
            FD_SET(clients[i], &readable);
            if (clients[i] > top)
                top = clients[i];
        }
        if (select(top + 1, &readable, NULL, NULL, NULL) < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        if (FD_ISSET(0, &readable)) {
            if (!fgets(line, sizeof line, stdin))
                break;
            command(line);
            fflush(stdout);
        }
        if (FD_ISSET(server, &readable)) {
            int fd = accept(server, NULL, NULL);
            if (fd >= 0 && nclients < MAX_CLIENTS)
                clients[nclients++] = fd;
            else if (fd >= 0)
                close(fd);
        }
        for (int i = 0; i < nclients; i++) {
            if (!FD_ISSET(clients[i], &readable))
                continue;
            modbus_set_socket(ctx, clients[i]);
            int rc = modbus_receive(ctx, query);
            if (rc > 0) {
                modbus_reply(ctx, query, rc, map);
            } else if (rc < 0) {
                close(clients[i]);
                clients[i--] = clients[--nclients];
            }
        }
    }
    for (int i = 0; i < nclients; i++)
        close(clients[i]);
    close(server);
    modbus_mapping_free(map);
    modbus_free(ctx);
    return 0;
}
