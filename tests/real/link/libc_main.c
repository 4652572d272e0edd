/* Calls the C library's strpbrk by the only name the renamed library gives
 * it: RENAMED, when the build names one. */
#include <stdio.h>

#ifndef RENAMED
#define RENAMED Qtrpbrk
#endif

char* RENAMED(const char* s, const char* accept);

int main(void) {
  puts(RENAMED("hello, from the renamed C library", ","));
  return 0;
}
