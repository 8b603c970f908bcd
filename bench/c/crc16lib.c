/* Shared library for the CRC comparison, called through ctypes. */
#include <time.h>
#include "crc16.h"

__attribute__((constructor)) static void setup(void) { crc16_init(); }

/* One CRC over data[0:n]: what a caller pays per call, ctypes overhead aside. */
uint16_t bench_crc16(const uint8_t *data, size_t n) { return crc16_modbus(data, n); }

/* The loop alone: nanoseconds for `iterations` CRCs over data[0:n], no call overhead. */
double bench_crc16_loop_ns(const uint8_t *data, size_t n, long iterations) {
    struct timespec a, b;
    volatile uint16_t sink = 0;
    clock_gettime(CLOCK_MONOTONIC, &a);
    for (long i = 0; i < iterations; i++) {
        __asm__ volatile("" : : "r"(data) : "memory");   /* keep each pass a real pass */
        sink ^= crc16_modbus(data, n);
    }
    clock_gettime(CLOCK_MONOTONIC, &b);
    (void)sink;
    return (double)(b.tv_sec - a.tv_sec) * 1e9 + (double)(b.tv_nsec - a.tv_nsec);
}
