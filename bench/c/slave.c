/*
 * Benchmark slave: one process serving Modbus TCP on 127.0.0.1 and Modbus RTU over a
 * pseudo-terminal pair, both through libmodbus, from one table of holding registers,
 * input registers, coils and discrete inputs.
 *
 *   slave [--tcp PORT] [--rtu] [--fork]
 *
 * --fork serves each TCP connection in a process of its own (forked on accept, ended when
 * the connection closes or the slave goes), so that clients on several connections are
 * answered in parallel, as a multi-core server would; without it one process answers all.
 * PORT 0 takes a free port. On start it prints "tcp <port>" and/or "rtu <pts path>"
 * on stdout, one line each, then "ready". It serves until its standard input reaches
 * end of file (the parent closed the pipe or died) or it gets SIGTERM/SIGINT, so a
 * benchmark run never leaves it behind.
 *
 * The RTU side works on the master end of a pty pair; clients open the printed
 * /dev/pts path like a serial device (a pty ignores the baud rate). The slave keeps
 * one descriptor of the pts end open itself, so a client closing the port does not
 * hang up the master end between clients.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "layout.h"

#define MAX_CLIENTS 64

static volatile sig_atomic_t stop_requested = 0;
static void on_signal(int sig) { (void)sig; stop_requested = 1; }

static void die(const char *what) {
    fprintf(stderr, "slave: %s: %s\n", what, strerror(errno));
    exit(1);
}

static void fill_table(modbus_mapping_t *m) {
    for (int i = 0; i < TABLE_SIZE; i++) {
        m->tab_registers[i] = holding_value(i);
        m->tab_input_registers[i] = input_register_value(i);
        m->tab_bits[i] = coil_value(i);
        m->tab_input_bits[i] = discrete_value(i);
    }
    m->tab_registers[FLOAT_ADDRESS] = FLOAT_HIGH_WORD;
    m->tab_registers[FLOAT_ADDRESS + 1] = FLOAT_LOW_WORD;
}

static int open_listener(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) die("socket");
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a = {0};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, (struct sockaddr *)&a, sizeof a) < 0) die("bind");
    if (listen(fd, 16) < 0) die("listen");
    socklen_t len = sizeof a;
    if (getsockname(fd, (struct sockaddr *)&a, &len) < 0) die("getsockname");
    printf("tcp %d\n", ntohs(a.sin_port));
    return fd;
}

static int open_pty(int *keep_fd) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) die("posix_openpt");
    if (grantpt(master) < 0 || unlockpt(master) < 0) die("grantpt/unlockpt");
    const char *name = ptsname(master);
    if (!name) die("ptsname");
    struct termios t;
    if (tcgetattr(master, &t) < 0) die("tcgetattr");
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    if (tcsetattr(master, TCSANOW, &t) < 0) die("tcsetattr");
    *keep_fd = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*keep_fd < 0) die("open pts");
    if (tcsetattr(*keep_fd, TCSANOW, &t) < 0) die("tcsetattr pts");
    printf("rtu %s\n", name);
    return master;
}

int main(int argc, char **argv) {
    int tcp_port = -1, want_rtu = 0, forking = 0;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--tcp") && i + 1 < argc) tcp_port = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--rtu")) want_rtu = 1;
        else if (!strcmp(argv[i], "--fork")) forking = 1;
        else { fprintf(stderr, "usage: slave [--tcp PORT] [--rtu] [--fork]\n"); return 2; }
    }
    if (tcp_port < 0 && !want_rtu) { fprintf(stderr, "slave: nothing to serve\n"); return 2; }

    signal(SIGPIPE, SIG_IGN);
    if (forking) signal(SIGCHLD, SIG_IGN);   /* connection processes reap themselves */
    pid_t parent = getpid();
    struct sigaction sa = {0};
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);

    modbus_mapping_t *map = modbus_mapping_new(TABLE_SIZE, TABLE_SIZE, TABLE_SIZE, TABLE_SIZE);
    if (!map) die("modbus_mapping_new");
    fill_table(map);

    /* One libmodbus context per framing; the descriptor is swapped in per request. */
    modbus_t *tcp = modbus_new_tcp("127.0.0.1", 0);
    modbus_t *rtu = modbus_new_rtu("/dev/null", 115200, 'N', 8, 1);
    if (!tcp || !rtu) die("modbus_new");
    modbus_set_slave(rtu, SLAVE_ID);

    int listener = -1, pty = -1, pts_keep = -1;
    if (tcp_port >= 0) listener = open_listener(tcp_port);
    if (want_rtu) {
        pty = open_pty(&pts_keep);
        modbus_set_socket(rtu, pty);
    }
    printf("ready\n");
    fflush(stdout);

    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    int clients[MAX_CLIENTS];
    int nclients = 0;
    struct pollfd pfd[MAX_CLIENTS + 3];

    while (!stop_requested) {
        int n = 0;
        pfd[n++] = (struct pollfd){.fd = STDIN_FILENO, .events = POLLIN};
        int li = -1, pi = -1;
        if (listener >= 0) { li = n; pfd[n++] = (struct pollfd){.fd = listener, .events = POLLIN}; }
        if (pty >= 0) { pi = n; pfd[n++] = (struct pollfd){.fd = pty, .events = POLLIN}; }
        int first_client = n;
        for (int i = 0; i < nclients; i++) pfd[n++] = (struct pollfd){.fd = clients[i], .events = POLLIN};

        int r = poll(pfd, (nfds_t)n, -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            die("poll");
        }
        if (pfd[0].revents) {
            char buf[64];
            ssize_t got = read(STDIN_FILENO, buf, sizeof buf);
            if (got <= 0) break;                     /* parent gone: stop */
        }
        if (pi >= 0 && (pfd[pi].revents & POLLIN)) {
            int len = modbus_receive(rtu, query);
            if (len > 0) modbus_reply(rtu, query, len, map);
            /* len 0: a frame for another station; len < 0: a broken frame, dropped */
        }
        /* Serve the connected clients before taking new ones. */
        for (int i = first_client; i < n; i++) {
            if (!pfd[i].revents) continue;
            int fd = pfd[i].fd;
            modbus_set_socket(tcp, fd);
            int len = (pfd[i].revents & POLLIN) ? modbus_receive(tcp, query) : -1;
            if (len > 0) {
                modbus_reply(tcp, query, len, map);
            } else if (len < 0) {
                close(fd);
                for (int k = 0; k < nclients; k++)
                    if (clients[k] == fd) { clients[k] = clients[--nclients]; break; }
            }
        }
        if (li >= 0 && (pfd[li].revents & POLLIN)) {
            int fd = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
            if (fd >= 0) {
                if (nclients == MAX_CLIENTS) { close(fd); continue; }
                int one = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                if (forking) {
                    pid_t child = fork();
                    if (child == 0) {
                        /* This connection only, until it closes or the slave goes. */
                        prctl(PR_SET_PDEATHSIG, SIGTERM);
                        if (getppid() != parent) _exit(0);
                        modbus_set_socket(tcp, fd);
                        while (!stop_requested) {
                            int len = modbus_receive(tcp, query);
                            if (len > 0) modbus_reply(tcp, query, len, map);
                            else if (len < 0) break;
                        }
                        _exit(0);
                    }
                    close(fd);
                    continue;
                }
                clients[nclients++] = fd;
            }
        }
    }
    for (int i = 0; i < nclients; i++) close(clients[i]);
    if (listener >= 0) close(listener);
    if (pty >= 0) close(pty);
    if (pts_keep >= 0) close(pts_keep);
    modbus_free(tcp);
    modbus_free(rtu);
    modbus_mapping_free(map);
    return 0;
}
