/* Example functions for library-call properties. Each takes its text arguments, then the caller's
 * 4096-byte output buffer, and returns 0 on success. Arities are fixed: the configuration must
 * list exactly the arguments a function takes (a call with another count is undefined).
 * Thread safety: no state; any thread. */
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define OUTPUT_BYTES 4096

/* The number in `text`, clamped to [INT_MIN, INT_MAX]; 0 when it holds none. */
static int number(const char* text) {
  long value = strtol(text, NULL, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return (int)value;
}

/* Writes `first` followed by `second` (cut to the buffer). */
int concat(const char* first, const char* second, char* output) {
  snprintf(output, OUTPUT_BYTES, "%s%s", first, second);
  return 0;
}

/* Writes `text` (cut to the buffer). */
int echo(const char* text, char* output) {
  snprintf(output, OUTPUT_BYTES, "%s", text);
  return 0;
}

/* Returns the number in `code` and writes nothing. */
int fail(const char* code, char* output) {
  (void)output;
  return number(code);
}

/* Writes `count` (at most 4096) 'x'; with 4096 the buffer holds no NUL at all. */
int fill(const char* count, char* output) {
  int n = number(count);
  if (n < 0) n = 0;
  if (n > OUTPUT_BYTES) n = OUTPUT_BYTES;
  memset(output, 'x', (size_t)n);
  return 0;
}
