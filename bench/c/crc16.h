/* CRC-16/MODBUS, the plain table-driven loop (init 0xFFFF, reflected 0xA001). */
#ifndef BENCH_CRC16_H
#define BENCH_CRC16_H
#include <stddef.h>
#include <stdint.h>

static uint16_t crc16_table[256];

static void crc16_init(void) {
    for (int n = 0; n < 256; n++) {
        uint16_t c = (uint16_t)n;
        for (int k = 0; k < 8; k++) c = (c & 1) ? (uint16_t)((c >> 1) ^ 0xA001) : (uint16_t)(c >> 1);
        crc16_table[n] = c;
    }
}

static inline uint16_t crc16_modbus(const uint8_t *p, size_t n) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; i++) crc = (uint16_t)((crc >> 8) ^ crc16_table[(crc ^ p[i]) & 0xFF]);
    return crc;
}
#endif
