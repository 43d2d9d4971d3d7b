/* An AFL++ custom mutator for the coefficient store file FTN99: unformatted
 * records, each framed by a 4-byte little-endian byte count before and after
 * its data. Byte-level mutation breaks the framing almost every time, so the
 * reader would stop at the frame check and never see odd counts, positions or
 * columns inside well-framed records. This mutator keeps the framing: it
 * changes 4-byte words inside records to values at the edges of what the
 * store holds (counts, positions, column numbers, reals), deletes, duplicates,
 * swaps, shortens or lengthens whole records, and only rarely breaks a frame
 * on purpose. AFL's own mutations still run beside it.
 *
 * Build: cc -O2 -shared -fPIC store_mutator.c -o libstore_mutator.so
 * Use:   AFL_CUSTOM_MUTATOR_LIBRARY=.../libstore_mutator.so afl-fuzz ...
 */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

enum { max_records = 4096 };

typedef struct {
  size_t start; /* offset of the record's data in the input */
  uint32_t len; /* byte count */
} record;

typedef struct {
  uint64_t rng;
  uint8_t *out;
  size_t out_size;
  record rec[max_records];
  size_t nrec;
} state;

static uint32_t next(state *s) {
  s->rng ^= s->rng << 13;
  s->rng ^= s->rng >> 7;
  s->rng ^= s->rng << 17;
  return (uint32_t)(s->rng >> 11);
}
static uint32_t below(state *s, uint32_t n) { return n ? next(s) % n : 0; }

static uint32_t get32(const uint8_t *p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
static void put32(uint8_t *p, uint32_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
  p[2] = (uint8_t)(v >> 16);
  p[3] = (uint8_t)(v >> 24);
}

/* Splits buf into framed records; 0 when the framing is broken. */
static int parse(state *s, const uint8_t *buf, size_t size) {
  size_t at = 0;
  s->nrec = 0;
  while (at < size) {
    if (size - at < 8 || s->nrec == max_records) return 0;
    uint32_t len = get32(buf + at);
    if (len > size - at - 8 || get32(buf + at + 4 + len) != len) return 0;
    s->rec[s->nrec].start = at + 4;
    s->rec[s->nrec].len = len;
    s->nrec++;
    at += 8 + (size_t)len;
  }
  return 1;
}

static const int32_t interesting_ints[] = {
    0, 1, -1, 2, 3, 4, 7, 8, 10, 999, 1000, 1001, 4096, 65535, 65536,
    9999998, 9999999, 10000000, 100000000, -8388608, 715827883, 1073741824,
    2147483647, -2147483647 - 1, 0x7149F2CA};

static uint32_t interesting_word(state *s, uint32_t old, const uint8_t *buf, size_t size) {
  switch (below(s, 6)) {
    case 0:
    case 1:
      return (uint32_t)interesting_ints[below(s, sizeof interesting_ints / sizeof *interesting_ints)];
    case 2: return old + 1 + below(s, 8);
    case 3: return old - 1 - below(s, 8);
    case 4: { /* a word from elsewhere in the file: a real count or position */
      size_t at = below(s, (uint32_t)(size / 4)) * 4;
      return at + 4 <= size ? get32(buf + at) : old;
    }
    default: {
      static const uint32_t reals[] = {0x7fc00000u /* NaN */, 0x7f800000u /* inf */,
                                       0xff800000u, 0x80000000u /* -0 */, 0x00000001u,
                                       0x7f7fffffu, 0x7149f2cau /* 1.0E30 */, 0x3f800000u};
      return reals[below(s, sizeof reals / sizeof *reals)];
    }
  }
}

/* Appends a framed record made of len bytes from data (NULL: zeros). */
static size_t emit(uint8_t *out, size_t at, const uint8_t *data, uint32_t len) {
  put32(out + at, len);
  if (data) memcpy(out + at + 4, data, len);
  else memset(out + at + 4, 0, len);
  put32(out + at + 4 + len, len);
  return at + 8 + len;
}

void *afl_custom_init(void *afl, unsigned int seed) {
  (void)afl;
  state *s = calloc(1, sizeof(state));
  if (!s) return NULL;
  s->rng = 0x9E3779B97F4A7C15ull ^ seed;
  if (!s->rng) s->rng = 1;
  return s;
}

size_t afl_custom_fuzz(void *data, uint8_t *buf, size_t buf_size, uint8_t **out_buf,
                       uint8_t *add_buf, size_t add_buf_size, size_t max_size) {
  (void)add_buf;
  (void)add_buf_size;
  state *s = data;
  size_t cap = buf_size * 2 + 64;
  if (cap > max_size) cap = max_size;
  if (cap < buf_size) cap = buf_size;
  if (s->out_size < cap) {
    uint8_t *p = realloc(s->out, cap);
    if (!p) {
      *out_buf = buf;
      return buf_size;
    }
    s->out = p;
    s->out_size = cap;
  }
  uint8_t *out = s->out;
  memcpy(out, buf, buf_size);
  size_t size = buf_size;
  if (!parse(s, buf, buf_size) || s->nrec == 0) {
    /* Not framed: change one word and leave the rest to AFL. */
    if (size >= 4) {
      size_t at = below(s, (uint32_t)(size - 3));
      put32(out + at, interesting_word(s, get32(out + at), buf, buf_size));
    }
    *out_buf = out;
    return size;
  }

  uint32_t rounds = 1 + below(s, 4);
  for (uint32_t r = 0; r < rounds; ++r) {
    if (!parse(s, out, size) || s->nrec == 0) break;
    record *rc = &s->rec[below(s, (uint32_t)s->nrec)];
    uint32_t choice = below(s, 16);
    if (choice < 9) { /* a word inside a record */
      if (rc->len < 4) continue;
      uint8_t *w = out + rc->start + below(s, rc->len / 4) * 4;
      put32(w, interesting_word(s, get32(w), out, size));
      continue;
    }
    /* Rebuild the file record by record into a scratch copy. */
    uint8_t *copy = malloc(size);
    if (!copy) break;
    memcpy(copy, out, size);
    size_t k = (size_t)(rc - s->rec), other = below(s, (uint32_t)s->nrec), at = 0;
    for (size_t i = 0; i < s->nrec; ++i) {
      const record *ri = &s->rec[i];
      const uint8_t *d = copy + ri->start;
      uint32_t len = ri->len;
      if (i == k) {
        if (choice == 9) continue; /* delete */
        if (choice == 10 && at + 16 + 2 * (size_t)len <= cap) {
          at = emit(out, at, d, len); /* duplicate */
        } else if (choice == 11) {
          d = copy + s->rec[other].start; /* replace by another record */
          len = s->rec[other].len;
        } else if (choice == 12 && len >= 4) {
          len -= 4 * (1 + below(s, len / 4)); /* shorten */
        } else if (choice == 13 && at + 24 + (size_t)len <= cap) {
          const size_t begin = at; /* lengthen with zeros */
          at = emit(out, at, NULL, len + 4 * (1 + below(s, 4)));
          memcpy(out + begin + 4, d, len);
          continue;
        } else if (choice == 14 && at + 16 + (size_t)len + s->rec[other].len <= cap) {
          at = emit(out, at, copy + s->rec[other].start, s->rec[other].len); /* insert */
        } else if (choice == 15 && at + 8 + (size_t)len <= cap) {
          at = emit(out, at, d, len);
          put32(out + at - 4, len + 4 * (1 + below(s, 2))); /* broken trailing count */
          continue;
        }
      }
      if (at + 8 + (size_t)len > cap) break;
      at = emit(out, at, d, len);
    }
    free(copy);
    size = at;
  }
  *out_buf = out;
  return size;
}

void afl_custom_deinit(void *data) {
  state *s = data;
  free(s->out);
  free(s);
}
