/* The slave's table and the benchmark workloads; bench/workload.py holds the same. */
#ifndef BENCH_LAYOUT_H
#define BENCH_LAYOUT_H

#define SLAVE_ID 1
#define TABLE_SIZE 1000

static inline int holding_value(int i) { return 1000 + i; }
static inline int input_register_value(int i) { return 2000 + i; }
static inline int coil_value(int i) { return i % 3 == 0; }
static inline int discrete_value(int i) { return i % 2 == 0; }

/* read 10 holding registers */
#define READ_ADDRESS 0
#define READ_COUNT 10
/* write 10 registers */
#define WRITE_ADDRESS 100
#define WRITE_COUNT 10
static inline int write_value(int i) { return 3 * i + 7; }
/* read 100 coils */
#define COIL_ADDRESS 0
#define COIL_COUNT 100
/* read one float, high word first: 1234.5 = 0x449A5000 */
#define FLOAT_ADDRESS 200
#define FLOAT_HIGH_WORD 0x449A
#define FLOAT_LOW_WORD 0x5000
#define FLOAT_VALUE 1234.5f

#endif
