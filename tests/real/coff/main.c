/* Calls the library under the names NAME(x) gives. */
#include <stdio.h>
#ifndef NAME
#define NAME(x) x
#endif
int NAME(part_bump)(int by);
int NAME(part_value_of_a_long_name)(void);
int NAME(part_three)(int x);
int main(void) {
  printf("%d %d %d\n", NAME(part_bump)(1), NAME(part_value_of_a_long_name)(),
         NAME(part_three)(5));
  return 0;
}
