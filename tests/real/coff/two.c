/* One program, two copies of the library prefixed apart. */
#include <stdio.h>
int one_part_bump(int by);
int two_part_bump(int by);
int main(void) {
  int a = one_part_bump(1);
  int b = two_part_bump(2);
  int c = one_part_bump(1);
  printf("%d %d %d\n", a, b, c);
  return 0;
}
