/* Calls the C library's strchr by the only name the renamed library gives it. */
#include <stdio.h>

char* Qtrchr(const char* s, int c);

int main(void) {
  puts(Qtrchr("hello, from the renamed C library", ','));
  return 0;
}
