/*
 * Many-connection Modbus TCP slave for the scale benchmark: one process, one thread, epoll
 * over non-blocking sockets, thousands of connections at once (libmodbus's slave serves
 * one connection at a time).
 *
 *   many_slave PORT [--delay-ms N] [--reverse] [--drop-unit U]
 *
 * It listens on 127.0.0.1:PORT (0 takes a free port), prints "tcp <port>" and then
 * "ready" on stdout, and serves until SIGTERM or SIGINT (or until its parent dies).
 *
 * Table: registers 0 to TABLE_SIZE - 1; holding register a holds a, input register a holds
 * a + TABLE_SIZE, the same for every unit and every connection. Codes 3 and 4 read them,
 * codes 6 and 16 are answered as the standard says (echo; count) but store nothing, so
 * every connection sees the same table. Any other code is answered with exception 1; a
 * count out of the code's range or a request of the wrong length with exception 3; an
 * address range beyond the table with exception 2.
 *
 * Framing: several requests in one read and requests split over reads are both taken
 * apart by the MBAP length. A header with a protocol identifier other than 0 or a length
 * outside 2..254 closes that connection (and only that one).
 *
 * Options:
 *   --delay-ms N   each answer leaves N ms after its request came (a timerfd set to the
 *                  first due answer wakes the loop); the other connections go on meanwhile.
 *                  One delay for all, so the queue of waiting answers is in due order by
 *                  itself.
 *   --reverse      answers that are due together on one connection leave in reverse order
 *                  (the last request first): a master that pipelines must match them by
 *                  transaction identifier.
 *   --drop-unit U  requests for unit U are read and never answered (a dead unit behind a
 *                  gateway).
 *
 * A connection holds at most MAX_PENDING unanswered requests; beyond that its input
 * waits in the socket until answers have left.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#define TABLE_SIZE 10000
#define MAX_ADU 260        /* 7 bytes of MBAP header + at most 253 bytes of PDU */
#define MAX_ANSWER 259     /* a read of 125 registers: 9 + 250 */
#define MAX_PENDING 16
#define IN_SIZE 2048
#define OUT_SIZE 8192      /* >= MAX_PENDING * MAX_ANSWER: a due answer always fits */
#define MAX_EVENTS 256

struct conn {
    int fd;
    unsigned gen;          /* bumped on close: queued answers of a closed connection are dropped */
    int pending;           /* requests taken, answers not yet in out */
    int eof;               /* the peer has shut down its side: answer what came, then close */
    uint32_t events;       /* what epoll watches now */
    size_t in_len, out_off, out_len;
    uint8_t in[IN_SIZE];
    uint8_t out[OUT_SIZE];
};

struct answer {
    int fd;
    unsigned gen;
    int64_t due_ns;
    uint16_t len;
    uint8_t data[MAX_ANSWER];
};

/* the waiting answers: a ring, in due order (one delay for all) */
static struct answer *queue;
static size_t q_cap, q_head, q_len;

static struct conn **conns;   /* by descriptor */
static unsigned *gens;        /* by descriptor, survives the struct */
static size_t conns_cap;
static int epfd;
static int64_t delay_ns;
static int reverse;
static int drop_unit = -1;

static int64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static void die(const char *what) {
    perror(what);
    exit(1);
}

static void queue_grow(void) {
    size_t cap = q_cap ? 2 * q_cap : 1024;
    struct answer *q = malloc(cap * sizeof *q);
    if (!q)
        die("malloc");
    for (size_t i = 0; i < q_len; i++)
        q[i] = queue[(q_head + i) % q_cap];
    free(queue);
    queue = q;
    q_cap = cap;
    q_head = 0;
}

static struct answer *queue_push(void) {
    if (q_len == q_cap)
        queue_grow();
    struct answer *a = &queue[(q_head + q_len) % q_cap];
    q_len++;
    return a;
}

static void close_conn(struct conn *c) {
    conns[c->fd] = NULL;
    gens[c->fd]++;
    close(c->fd);   /* also leaves the epoll set */
    free(c);
}

static void put16(uint8_t *p, unsigned v) {
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}

static unsigned get16(const uint8_t *p) {
    return (unsigned)p[0] << 8 | p[1];
}

/* The PDU of the answer to pdu[0..n) into out; returns its length. */
static size_t answer_pdu(const uint8_t *pdu, size_t n, uint8_t *out) {
    uint8_t fc = pdu[0];
    uint8_t code = 0;
    if (fc == 3 || fc == 4) {
        unsigned addr = n == 5 ? get16(pdu + 1) : 0, count = n == 5 ? get16(pdu + 3) : 0;
        if (n != 5 || count < 1 || count > 125)
            code = 3;
        else if (addr + count > TABLE_SIZE)
            code = 2;
        else {
            out[0] = fc;
            out[1] = (uint8_t)(2 * count);
            for (unsigned i = 0; i < count; i++)
                put16(out + 2 + 2 * i, fc == 3 ? addr + i : addr + i + TABLE_SIZE);
            return 2 + 2 * count;
        }
    } else if (fc == 6) {
        if (n != 5)
            code = 3;
        else if (get16(pdu + 1) >= TABLE_SIZE)
            code = 2;
        else {
            memcpy(out, pdu, 5);
            return 5;
        }
    } else if (fc == 16) {
        unsigned addr = n >= 6 ? get16(pdu + 1) : 0, count = n >= 6 ? get16(pdu + 3) : 0;
        if (n < 6 || count < 1 || count > 123 || pdu[5] != 2 * count || n != 6 + 2 * count)
            code = 3;
        else if (addr + count > TABLE_SIZE)
            code = 2;
        else {
            memcpy(out, pdu, 5);
            return 5;
        }
    } else {
        code = 1;
    }
    out[0] = fc | 0x80;
    out[1] = code;
    return 2;
}

static void set_events(struct conn *c, uint32_t events) {
    if (events == c->events)
        return;
    struct epoll_event ev = {.events = events, .data.fd = c->fd};
    if (epoll_ctl(epfd, EPOLL_CTL_MOD, c->fd, &ev) < 0)
        die("epoll_ctl");
    c->events = events;
}

/* Room for one more request: its answer must fit into out beside those already promised. */
static int can_take(const struct conn *c) {
    return c->pending < MAX_PENDING && c->out_len + (size_t)(c->pending + 1) * MAX_ANSWER <= OUT_SIZE;
}

/* Take the complete requests out of in, queue their answers. Returns 0 when the connection
   was closed for a bad header. */
static int take_requests(struct conn *c, int64_t now) {
    size_t off = 0;
    while (c->in_len - off >= 7 && can_take(c)) {
        const uint8_t *f = c->in + off;
        unsigned len = get16(f + 4);
        if (get16(f + 2) != 0 || len < 2 || len > 254) {
            close_conn(c);
            return 0;
        }
        if (c->in_len - off < 6 + len)
            break;
        if (f[6] != drop_unit) {
            struct answer *a = queue_push();
            size_t pdu_len = answer_pdu(f + 7, len - 1, a->data + 7);
            memcpy(a->data, f, 4);   /* transaction and protocol identifiers */
            put16(a->data + 4, (unsigned)(pdu_len + 1));
            a->data[6] = f[6];
            a->len = (uint16_t)(7 + pdu_len);
            a->fd = c->fd;
            a->gen = gens[c->fd];
            a->due_ns = now + delay_ns;
            c->pending++;
        }
        off += 6 + len;
    }
    memmove(c->in, c->in + off, c->in_len - off);
    c->in_len -= off;
    return 1;
}

/* A whole request (or a header that take_requests refuses) waits in in. */
static int frame_waiting(const struct conn *c) {
    return c->in_len >= 7 && c->in_len >= 6 + get16(c->in + 4);
}

/* Send what out holds; watch for input only while requests can be taken and in has room.
   Returns 0 when the connection was closed. */
static int flush_out(struct conn *c) {
    while (c->out_off < c->out_len) {
        ssize_t n = send(c->fd, c->out + c->out_off, c->out_len - c->out_off, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            close_conn(c);
            return 0;
        }
        c->out_off += (size_t)n;
    }
    if (c->out_off == c->out_len) {
        c->out_off = c->out_len = 0;
        if (c->eof && c->pending == 0 && !frame_waiting(c)) {
            close_conn(c);
            return 0;
        }
    }
    else if (c->out_off > OUT_SIZE / 2) {
        memmove(c->out, c->out + c->out_off, c->out_len - c->out_off);
        c->out_len -= c->out_off;
        c->out_off = 0;
    }
    uint32_t events = 0;
    if (!c->eof && can_take(c) && c->in_len < IN_SIZE)
        events |= EPOLLIN;
    if (c->out_len)
        events |= EPOLLOUT;
    set_events(c, events);
    return 1;
}

static void on_readable(struct conn *c, int64_t now) {
    for (;;) {
        if (c->in_len == IN_SIZE)
            break;
        ssize_t n = recv(c->fd, c->in + c->in_len, IN_SIZE - c->in_len, 0);
        if (n == 0) {
            c->eof = 1;   /* flush_out closes once every answer has left */
            break;
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            close_conn(c);
            return;
        }
        c->in_len += (size_t)n;
        if (!take_requests(c, now))
            return;
        if (!can_take(c))
            break;
    }
    flush_out(c);
}

/* Move the answers due by now into their connections' out (the answers of one connection
   in reverse with --reverse), send them, and take the requests that waited for room. */
static void deliver_due(int64_t now) {
    size_t n = 0;
    while (n < q_len && queue[(q_head + n) % q_cap].due_ns <= now)
        n++;
    if (!n)
        return;
    for (size_t i = 0; i < n; i++) {
        size_t k = reverse ? n - 1 - i : i;
        struct answer *a = &queue[(q_head + k) % q_cap];
        struct conn *c = conns[a->fd];
        if (!c || gens[a->fd] != a->gen)
            continue;
        memcpy(c->out + c->out_len, a->data, a->len);
        c->out_len += a->len;
        c->pending--;
    }
    for (size_t i = 0; i < n; i++) {
        struct answer *a = &queue[(q_head + i) % q_cap];
        struct conn *c = conns[a->fd];
        if (!c || gens[a->fd] != a->gen || c->out_len == 0 || (c->events & EPOLLOUT))
            continue;   /* gone, or already sent for an earlier answer of this batch */
        if (flush_out(c) && c->in_len >= 7 && take_requests(c, now))
            flush_out(c);
    }
    q_head = (q_head + n) % q_cap;
    q_len -= n;
}

static void accept_all(int lfd, int *reserve) {
    for (;;) {
        int fd = accept4(lfd, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if ((errno == EMFILE || errno == ENFILE) && *reserve >= 0) {
                /* out of descriptors: take the connection with the spare one and close it,
                   rather than leaving it in the backlog to wake us again and again */
                close(*reserve);
                fd = accept(lfd, NULL, NULL);
                if (fd >= 0)
                    close(fd);
                *reserve = open("/dev/null", O_RDONLY | O_CLOEXEC);
                continue;
            }
            return;   /* EAGAIN: all taken */
        }
        if ((size_t)fd >= conns_cap) {
            close(fd);
            continue;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        struct conn *c = malloc(sizeof *c);
        if (!c) {
            close(fd);
            continue;
        }
        c->fd = fd;
        c->pending = c->eof = 0;
        c->in_len = c->out_off = c->out_len = 0;
        c->events = EPOLLIN;
        struct epoll_event ev = {.events = EPOLLIN, .data.fd = fd};
        if (epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev) < 0) {
            close(fd);
            free(c);
            continue;
        }
        conns[fd] = c;
    }
}

static int parse_int(const char *s, long lo, long hi, const char *what) {
    char *end;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (errno || *s == '\0' || *end != '\0' || v < lo || v > hi) {
        fprintf(stderr, "many_slave: bad %s: %s\n", what, s);
        exit(2);
    }
    return (int)v;
}

int main(int argc, char **argv) {
    int port = -1;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--delay-ms") && i + 1 < argc)
            delay_ns = (int64_t)parse_int(argv[++i], 0, 60000, "delay") * 1000000;
        else if (!strcmp(argv[i], "--reverse"))
            reverse = 1;
        else if (!strcmp(argv[i], "--drop-unit") && i + 1 < argc)
            drop_unit = parse_int(argv[++i], 0, 255, "unit");
        else if (port < 0 && argv[i][0] != '-')
            port = parse_int(argv[i], 0, 65535, "port");
        else {
            fprintf(stderr, "usage: many_slave PORT [--delay-ms N] [--reverse] [--drop-unit U]\n");
            return 2;
        }
    }
    if (port < 0) {
        fprintf(stderr, "usage: many_slave PORT [--delay-ms N] [--reverse] [--drop-unit U]\n");
        return 2;
    }
    prctl(PR_SET_PDEATHSIG, SIGTERM);   /* never outlive the harness */

    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    getrlimit(RLIMIT_NOFILE, &rl);
    conns_cap = rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur > (1u << 20) ? (1u << 20) : (size_t)rl.rlim_cur;
    conns = calloc(conns_cap, sizeof *conns);
    gens = calloc(conns_cap, sizeof *gens);
    if (!conns || !gens)
        die("calloc");

    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    if (sigprocmask(SIG_BLOCK, &mask, NULL) < 0)
        die("sigprocmask");
    int sfd = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
    if (sfd < 0)
        die("signalfd");
    if (getppid() == 1)
        return 0;   /* the parent went before PR_SET_PDEATHSIG was in place */

    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (lfd < 0)
        die("socket");
    int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in sa = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(lfd, (struct sockaddr *)&sa, sizeof sa) < 0)
        die("bind");
    if (listen(lfd, 4096) < 0)
        die("listen");
    socklen_t sl = sizeof sa;
    getsockname(lfd, (struct sockaddr *)&sa, &sl);
    int reserve = open("/dev/null", O_RDONLY | O_CLOEXEC);

    epfd = epoll_create1(EPOLL_CLOEXEC);
    if (epfd < 0)
        die("epoll_create1");
    struct epoll_event ev = {.events = EPOLLIN, .data.fd = lfd};
    epoll_ctl(epfd, EPOLL_CTL_ADD, lfd, &ev);
    ev.data.fd = sfd;
    epoll_ctl(epfd, EPOLL_CTL_ADD, sfd, &ev);

    printf("tcp %d\nready\n", ntohs(sa.sin_port));
    fflush(stdout);
    fprintf(stderr, "many_slave: up to %zu descriptors\n", conns_cap);

    int tfd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (tfd < 0)
        die("timerfd_create");
    ev.data.fd = tfd;
    epoll_ctl(epfd, EPOLL_CTL_ADD, tfd, &ev);
    int64_t armed = -1;   /* the due time the timer is set to, -1 none */

    struct epoll_event events[MAX_EVENTS];
    for (;;) {
        int timeout = -1;
        if (q_len) {
            int64_t due = queue[q_head].due_ns;
            if (due <= now_ns())
                timeout = 0;
            else if (due != armed) {
                struct itimerspec its = {.it_value = {.tv_sec = due / 1000000000, .tv_nsec = due % 1000000000}};
                if (timerfd_settime(tfd, TFD_TIMER_ABSTIME, &its, NULL) < 0)
                    die("timerfd_settime");
                armed = due;
            }
        }
        int n = epoll_wait(epfd, events, MAX_EVENTS, timeout);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            die("epoll_wait");
        }
        int64_t now = now_ns();
        for (int i = 0; i < n; i++) {
            int fd = events[i].data.fd;
            if (fd == sfd)
                goto done;
            if (fd == tfd) {
                uint64_t expirations;
                if (read(tfd, &expirations, sizeof expirations) < 0 && errno != EAGAIN)
                    die("read timerfd");
                armed = -1;
                continue;
            }
            if (fd == lfd) {
                accept_all(lfd, &reserve);
                continue;
            }
            struct conn *c = conns[fd];
            if (!c)
                continue;   /* closed earlier in this batch */
            if (events[i].events & (EPOLLERR | EPOLLHUP) && !(events[i].events & EPOLLIN)) {
                close_conn(c);
                continue;
            }
            if (events[i].events & EPOLLOUT) {
                if (!flush_out(c))
                    continue;
                if (c->in_len >= 7 && can_take(c)) {
                    if (!take_requests(c, now) || !flush_out(c))
                        continue;
                }
            }
            if (events[i].events & EPOLLIN && (c->events & EPOLLIN))
                on_readable(c, now);
        }
        deliver_due(now_ns());
    }
done:
    for (size_t fd = 0; fd < conns_cap; fd++)
        if (conns[fd])
            close_conn(conns[fd]);
    close(lfd);
    return 0;
}
