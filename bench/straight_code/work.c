/*
 * The straight-code program's work. Every type is fixed-width and unsigned
 * where it wraps, so that the board, QEMU and the host compute the same bits;
 * signed division never sees INT32_MIN / -1 (its divisors are 2..9 and
 * -9..-2).
 */
#include "work.h"

#define BUFFER_WORDS 256u
#define BUFFER_BYTES (4u * BUFFER_WORDS)
#define BITWISE_BYTES 256u   /* the bitwise CRC's share of the buffer */
#define ARITHMETIC_STEPS 384u

_Static_assert(BUFFER_WORDS % 4u == 0, "the word copy moves four words at a time");

static uint32_t crc_table[256];
static uint32_t source[BUFFER_WORDS];
/* Room for the byte copy at an offset of up to 3 bytes. */
static uint32_t copy[BUFFER_WORDS + 1];

uint32_t straight_code_crc_bitwise(const uint8_t *data, uint32_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint32_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

static void build_table(void) {
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int bit = 0; bit < 8; ++bit) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    crc_table[n] = c;
  }
}

uint32_t straight_code_crc_table(const uint8_t *data, uint32_t size) {
  if (crc_table[1] == 0) build_table();
  uint32_t crc = 0xFFFFFFFFu;
  for (uint32_t i = 0; i < size; ++i) crc = crc_table[(crc ^ data[i]) & 0xFFu] ^ (crc >> 8);
  return ~crc;
}

/* The buffer for round `round`: a xorshift sequence seeded from the round. */
static void fill(uint32_t seed) {
  uint32_t x = seed * 2654435761u + 0x9E3779B9u;
  if (x == 0) x = 1;
  for (uint32_t i = 0; i < BUFFER_WORDS; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    source[i] = x;
  }
}

/* Word copy, four at a time (the compiler must not turn it into a library
   call: the board program links none). `words` is a multiple of four. */
static void copy_words(uint32_t *to, const uint32_t *from, uint32_t words) {
  for (uint32_t i = 0; i < words; i += 4) {
    uint32_t a = from[i], b = from[i + 1], c = from[i + 2], d = from[i + 3];
    to[i] = a;
    to[i + 1] = b;
    to[i + 2] = c;
    to[i + 3] = d;
  }
}

static void copy_bytes(uint8_t *to, const uint8_t *from, uint32_t size) {
  for (uint32_t i = 0; i < size; ++i) to[i] = from[i];
}

static uint32_t rotate(uint32_t x, unsigned by) { return (x << by) | (x >> (32u - by)); }

/* Multiply, unsigned and signed divide, remainder, the high half of a 32x32
   multiply, logical and arithmetic shifts, chained so each step needs the
   last. */
static uint32_t arithmetic(uint32_t x, uint32_t acc) {
  for (uint32_t i = 0; i < ARITHMETIC_STEPS; ++i) {
    x = x * 1664525u + 1013904223u;
    uint32_t divisor = (x >> 17) | 1u;
    uint32_t quotient = x / divisor;
    uint32_t remainder = x % divisor;
    int32_t signedDivisor = (int32_t)((i & 7u) + 2u);
    if (i & 8u) signedDivisor = -signedDivisor;
    int32_t signedQuotient = (int32_t)(x ^ acc) / signedDivisor;
    uint64_t wide = (uint64_t)x * (quotient | 1u);
    acc = rotate(acc, 7) ^ quotient ^ (remainder << 3) ^ (uint32_t)signedQuotient ^ (uint32_t)(wide >> 32) ^
          (uint32_t)wide;
    acc += (uint32_t)((int32_t)acc >> 9);
  }
  return acc;
}

straight_code_result straight_code_work(uint32_t rounds) {
  straight_code_result result = {0x6A09E667u, 0};
  static const uint8_t check[9] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  if (straight_code_crc_bitwise(check, 9) != STRAIGHT_CODE_CRC_CHECK) ++result.failures;
  if (straight_code_crc_table(check, 9) != STRAIGHT_CODE_CRC_CHECK) ++result.failures;
  const uint8_t *bytes = (const uint8_t *)source;
  for (uint32_t round = 0; round < rounds; ++round) {
    fill(round);
    /* A quarter of the buffer bit by bit, a different quarter each round;
       the table must agree on it. */
    const uint8_t *part = bytes + (round & 3u) * BITWISE_BYTES;
    uint32_t slow = straight_code_crc_bitwise(part, BITWISE_BYTES);
    if (straight_code_crc_table(part, BITWISE_BYTES) != slow) ++result.failures;
    uint32_t whole = straight_code_crc_table(bytes, BUFFER_BYTES);
    /* Words to the copy and back over a byte-shifted copy: the bytes must
       arrive whole either way. */
    copy_words(copy, source, BUFFER_WORDS);
    if (straight_code_crc_table((const uint8_t *)copy, BUFFER_BYTES) != whole) ++result.failures;
    uint8_t *shifted = (uint8_t *)copy + 1u + (round % 3u);
    copy_bytes(shifted, bytes, BUFFER_BYTES);
    if (straight_code_crc_table(shifted, BUFFER_BYTES) != whole) ++result.failures;
    uint32_t mixed = arithmetic(whole ^ round, slow);
    result.checksum = rotate(result.checksum, 5) ^ slow;
    result.checksum = result.checksum * 0x01000193u + whole;
    result.checksum ^= mixed;
  }
  return result;
}
