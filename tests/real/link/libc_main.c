/* Calls the C library's strpbrk by the only name the renamed library gives it. */
#include <stdio.h>

char* Qtrpbrk(const char* s, const char* accept);

int main(void) {
  puts(Qtrpbrk("hello, from the renamed C library", ","));
  return 0;
}
