/*
 * C masters for the benchmark, on the same slave and workloads as the Python ones.
 *
 *   client IMPL TRANSPORT TARGET WORKLOADS CALLS WARMUP
 *
 * IMPL      libmodbus: the C client of libmodbus;
 *           floor: the least a master must do. TCP: send the request, recv the 8 header
 *           bytes, recv the rest (blocking socket, MSG_WAITALL). RTU: write the request,
 *           read until the expected answer length is in. Nothing else in the loop.
 * TRANSPORT tcp (TARGET = port on 127.0.0.1) or rtu (TARGET = tty path, 115200 8N1)
 * WORKLOADS comma-separated: read10, write10, coils100, float
 *
 * Each workload is checked once against the slave's table, run WARMUP times, then
 * CALLS times under the clocks. One JSON line per workload on stdout:
 *   {"workload": ..., "calls": N, "wall_ns": ..., "cpu_ns": ..., "user_ns": ..., "sys_ns": ...}
 * cpu_ns is CLOCK_PROCESS_CPUTIME_ID (user + system of this process); user/sys come
 * from getrusage(RUSAGE_SELF). On failure: {"workload": ..., "error": "..."}.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <modbus.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "crc16.h"
#include "layout.h"

typedef struct {
    int rtu;
    int fd;               /* floor */
    modbus_t *ctx;        /* libmodbus */
    uint16_t tid;
    uint16_t regs[128];
    uint8_t bits[256];
    float f;
} client_t;

static char error_text[256];

static int fail(const char *fmt, const char *detail) {
    snprintf(error_text, sizeof error_text, fmt, detail);
    return -1;
}

/* ---------- floor ---------- */

static int floor_tcp_exchange(client_t *c, const uint8_t *pdu, int pdu_len, uint8_t *data, int *data_len) {
    uint8_t q[300], h[8];
    c->tid++;
    q[0] = (uint8_t)(c->tid >> 8); q[1] = (uint8_t)c->tid;
    q[2] = 0; q[3] = 0;
    q[4] = (uint8_t)((pdu_len + 1) >> 8); q[5] = (uint8_t)(pdu_len + 1);
    q[6] = SLAVE_ID;
    memcpy(q + 7, pdu, (size_t)pdu_len);
    if (send(c->fd, q, (size_t)pdu_len + 7, 0) != pdu_len + 7) return fail("send: %s", strerror(errno));
    if (recv(c->fd, h, 8, MSG_WAITALL) != 8) return fail("recv header: %s", strerror(errno));
    if (memcmp(h, q, 4) != 0 || h[6] != q[6] || h[7] != q[7]) return fail("%s", "bad answer header");
    int rest = ((h[4] << 8) | h[5]) - 2;
    if (rest < 0 || rest > 256) return fail("%s", "bad answer length");
    if (rest > 0 && recv(c->fd, data, (size_t)rest, MSG_WAITALL) != rest) return fail("recv data: %s", strerror(errno));
    *data_len = rest;
    return 0;
}

static int floor_rtu_exchange(client_t *c, const uint8_t *pdu, int pdu_len, uint8_t *data, int *data_len, int expect) {
    uint8_t q[300], a[300];
    q[0] = SLAVE_ID;
    memcpy(q + 1, pdu, (size_t)pdu_len);
    uint16_t crc = crc16_modbus(q, (size_t)pdu_len + 1);
    q[pdu_len + 1] = (uint8_t)crc; q[pdu_len + 2] = (uint8_t)(crc >> 8);
    if (write(c->fd, q, (size_t)pdu_len + 3) != pdu_len + 3) return fail("write: %s", strerror(errno));
    int got = 0;
    while (got < expect) {   /* VMIN 0 / VTIME 10: a read returns what is there, 0 after 1 s */
        ssize_t r = read(c->fd, a + got, (size_t)(expect - got));
        if (r <= 0) return fail("read: %s", r == 0 ? "timeout" : strerror(errno));
        got += (int)r;
    }
    crc = crc16_modbus(a, (size_t)expect - 2);
    if (a[expect - 2] != (uint8_t)crc || a[expect - 1] != (uint8_t)(crc >> 8)) return fail("%s", "crc error");
    if (a[0] != SLAVE_ID || a[1] != pdu[0]) return fail("%s", "bad answer header");
    *data_len = expect - 4;
    memcpy(data, a + 2, (size_t)*data_len);
    return 0;
}

/* PDU -> data part after the function code. `rtu_expect` is the whole RTU answer length. */
static int floor_exchange(client_t *c, const uint8_t *pdu, int pdu_len, uint8_t *data, int *data_len, int rtu_expect) {
    return c->rtu ? floor_rtu_exchange(c, pdu, pdu_len, data, data_len, rtu_expect)
                  : floor_tcp_exchange(c, pdu, pdu_len, data, data_len);
}

static int floor_read_registers(client_t *c, int address, int count) {
    uint8_t pdu[5] = {3, (uint8_t)(address >> 8), (uint8_t)address, (uint8_t)(count >> 8), (uint8_t)count};
    uint8_t d[260]; int n;
    if (floor_exchange(c, pdu, 5, d, &n, 5 + 2 * count) < 0) return -1;
    if (n != 1 + 2 * count || d[0] != 2 * count) return fail("%s", "bad register answer");
    for (int i = 0; i < count; i++) c->regs[i] = (uint16_t)((d[1 + 2 * i] << 8) | d[2 + 2 * i]);
    return 0;
}

static int floor_read10(client_t *c) { return floor_read_registers(c, READ_ADDRESS, READ_COUNT); }

static int floor_write10(client_t *c) {
    uint8_t pdu[6 + 2 * WRITE_COUNT] = {16, WRITE_ADDRESS >> 8, WRITE_ADDRESS & 0xFF, 0, WRITE_COUNT, 2 * WRITE_COUNT};
    for (int i = 0; i < WRITE_COUNT; i++) {
        pdu[6 + 2 * i] = (uint8_t)(write_value(i) >> 8);
        pdu[7 + 2 * i] = (uint8_t)write_value(i);
    }
    uint8_t d[260]; int n;
    if (floor_exchange(c, pdu, (int)sizeof pdu, d, &n, 8) < 0) return -1;
    if (n != 4 || memcmp(d, pdu + 1, 4) != 0) return fail("%s", "bad write echo");
    return 0;
}

static int floor_coils100(client_t *c) {
    uint8_t pdu[5] = {1, COIL_ADDRESS >> 8, COIL_ADDRESS & 0xFF, 0, COIL_COUNT};
    int nbytes = (COIL_COUNT + 7) / 8;
    uint8_t d[260]; int n;
    if (floor_exchange(c, pdu, 5, d, &n, 5 + nbytes) < 0) return -1;
    if (n != 1 + nbytes || d[0] != nbytes) return fail("%s", "bad coil answer");
    for (int i = 0; i < COIL_COUNT; i++) c->bits[i] = (d[1 + i / 8] >> (i % 8)) & 1;
    return 0;
}

static int floor_float(client_t *c) {
    if (floor_read_registers(c, FLOAT_ADDRESS, 2) < 0) return -1;
    uint32_t u = ((uint32_t)c->regs[0] << 16) | c->regs[1];
    memcpy(&c->f, &u, 4);
    return 0;
}

/* ---------- libmodbus ---------- */

static int lm_check(int rc, int want) {
    if (rc != want) return fail("libmodbus: %s", modbus_strerror(errno));
    return 0;
}
static int lm_read10(client_t *c) { return lm_check(modbus_read_registers(c->ctx, READ_ADDRESS, READ_COUNT, c->regs), READ_COUNT); }
static int lm_write10(client_t *c) {
    static uint16_t v[WRITE_COUNT];
    for (int i = 0; i < WRITE_COUNT; i++) v[i] = (uint16_t)write_value(i);
    return lm_check(modbus_write_registers(c->ctx, WRITE_ADDRESS, WRITE_COUNT, v), WRITE_COUNT);
}
static int lm_coils100(client_t *c) { return lm_check(modbus_read_bits(c->ctx, COIL_ADDRESS, COIL_COUNT, c->bits), COIL_COUNT); }
static int lm_float(client_t *c) {
    if (lm_check(modbus_read_registers(c->ctx, FLOAT_ADDRESS, 2, c->regs), 2) < 0) return -1;
    c->f = modbus_get_float_abcd(c->regs);
    return 0;
}

/* ---------- setup, checks, timing ---------- */

static int open_floor(client_t *c, const char *target) {
    if (c->rtu) {
        c->fd = open(target, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (c->fd < 0) return fail("open: %s", strerror(errno));
        struct termios t;
        if (tcgetattr(c->fd, &t) < 0) return fail("tcgetattr: %s", strerror(errno));
        cfmakeraw(&t);
        cfsetispeed(&t, B115200);
        cfsetospeed(&t, B115200);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 10;
        if (tcsetattr(c->fd, TCSANOW, &t) < 0) return fail("tcsetattr: %s", strerror(errno));
        tcflush(c->fd, TCIOFLUSH);
        return 0;
    }
    c->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (c->fd < 0) return fail("socket: %s", strerror(errno));
    struct timeval tv = {1, 0};
    setsockopt(c->fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(c->fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    struct sockaddr_in a = {0};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)atoi(target));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(c->fd, (struct sockaddr *)&a, sizeof a) < 0) return fail("connect: %s", strerror(errno));
    return 0;
}

static int open_libmodbus(client_t *c, const char *target) {
    c->ctx = c->rtu ? modbus_new_rtu(target, 115200, 'N', 8, 1) : modbus_new_tcp("127.0.0.1", atoi(target));
    if (!c->ctx) return fail("modbus_new: %s", modbus_strerror(errno));
    modbus_set_slave(c->ctx, SLAVE_ID);
    modbus_set_response_timeout(c->ctx, 1, 0);
    if (modbus_connect(c->ctx) < 0) return fail("modbus_connect: %s", modbus_strerror(errno));
    return 0;
}

typedef int (*op_t)(client_t *);

static int verify(client_t *c, const char *w) {
    if (!strcmp(w, "read10")) {
        for (int i = 0; i < READ_COUNT; i++)
            if (c->regs[i] != holding_value(READ_ADDRESS + i)) return fail("%s", "wrong registers");
    } else if (!strcmp(w, "coils100")) {
        for (int i = 0; i < COIL_COUNT; i++)
            if (!c->bits[i] != !coil_value(COIL_ADDRESS + i)) return fail("%s", "wrong coils");
    } else if (!strcmp(w, "float")) {
        if (c->f != FLOAT_VALUE) return fail("%s", "wrong float");
    }
    return 0;
}

static double ts_ns(const struct timespec *t) { return (double)t->tv_sec * 1e9 + (double)t->tv_nsec; }
static double tv_ns(const struct timeval *t) { return (double)t->tv_sec * 1e9 + (double)t->tv_usec * 1e3; }

int main(int argc, char **argv) {
    if (argc != 7) {
        fprintf(stderr, "usage: client libmodbus|floor tcp|rtu TARGET WORKLOADS CALLS WARMUP\n");
        return 2;
    }
    crc16_init();
    const char *impl = argv[1], *target = argv[3];
    long calls = atol(argv[5]), warmup = atol(argv[6]);
    client_t c = {0};
    c.fd = -1;
    c.rtu = !strcmp(argv[2], "rtu");
    int floor = !strcmp(impl, "floor");
    int rc = floor ? open_floor(&c, target) : open_libmodbus(&c, target);

    char *list = strdup(argv[4]);
    for (char *w = strtok(list, ","); w; w = strtok(NULL, ",")) {
        if (rc < 0) { printf("{\"workload\": \"%s\", \"error\": \"%s\"}\n", w, error_text); continue; }
        op_t op = NULL;
        if (!strcmp(w, "read10")) op = floor ? floor_read10 : lm_read10;
        else if (!strcmp(w, "write10")) op = floor ? floor_write10 : lm_write10;
        else if (!strcmp(w, "coils100")) op = floor ? floor_coils100 : lm_coils100;
        else if (!strcmp(w, "float")) op = floor ? floor_float : lm_float;
        if (!op) { printf("{\"workload\": \"%s\", \"error\": \"unknown workload\"}\n", w); continue; }
        if (op(&c) < 0 || verify(&c, w) < 0) {
            printf("{\"workload\": \"%s\", \"error\": \"%s\"}\n", w, error_text);
            fflush(stdout);
            continue;
        }
        int bad = 0;
        for (long i = 0; i < warmup && !bad; i++) bad = op(&c) < 0;
        struct timespec w0, w1, c0, c1;
        struct rusage r0, r1;
        getrusage(RUSAGE_SELF, &r0);
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c0);
        clock_gettime(CLOCK_MONOTONIC, &w0);
        for (long i = 0; i < calls && !bad; i++) bad = op(&c) < 0;
        clock_gettime(CLOCK_MONOTONIC, &w1);
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c1);
        getrusage(RUSAGE_SELF, &r1);
        if (bad) {
            printf("{\"workload\": \"%s\", \"error\": \"%s\"}\n", w, error_text);
        } else {
            printf("{\"workload\": \"%s\", \"calls\": %ld, \"wall_ns\": %.0f, \"cpu_ns\": %.0f, "
                   "\"user_ns\": %.0f, \"sys_ns\": %.0f}\n",
                   w, calls, ts_ns(&w1) - ts_ns(&w0), ts_ns(&c1) - ts_ns(&c0),
                   tv_ns(&r1.ru_utime) - tv_ns(&r0.ru_utime), tv_ns(&r1.ru_stime) - tv_ns(&r0.ru_stime));
        }
        fflush(stdout);
    }
    free(list);
    if (c.ctx) { modbus_close(c.ctx); modbus_free(c.ctx); }
    if (c.fd >= 0) close(c.fd);
    return 0;
}
