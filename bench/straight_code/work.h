/*
 * The straight-code program's work, in plain C so that the same source runs
 * on the emulated core, under QEMU and natively on the host (the reference
 * the benchmark compares both emulators against): CRC-32 bit by bit and by
 * table over a buffer, word and byte copies, and integer multiply, divide and
 * shift chains, all mixed into one checksum.
 */
#ifndef TL500_STRAIGHT_CODE_WORK_H
#define TL500_STRAIGHT_CODE_WORK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* CRC-32 of "123456789", the usual check value of this polynomial. */
#define STRAIGHT_CODE_CRC_CHECK 0xCBF43926u

typedef struct {
  uint32_t checksum; /* every round's results mixed together */
  uint32_t failures; /* self-checks that failed: CRCs that disagree, a bad copy */
} straight_code_result;

/* CRC-32 (reflected, polynomial 0xEDB88320, all ones in and out) of `size`
   bytes, one bit at a time and through the table. */
uint32_t straight_code_crc_bitwise(const uint8_t *data, uint32_t size);
uint32_t straight_code_crc_table(const uint8_t *data, uint32_t size);

/* Runs `rounds` rounds of the work. Uses static buffers (2 KiB and the
   1 KiB table): not reentrant. */
straight_code_result straight_code_work(uint32_t rounds);

#ifdef __cplusplus
}
#endif

#endif
