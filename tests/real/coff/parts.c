/* A small library for the COFF tests, one member per PART. Part 1 uses an
   extern variable of part 2, which gcc's default code model reaches through
   a .refptr COMDAT named after it; part 3 has a static, a common block and a
   name short enough for its record. */
#if PART == 1
extern int part_counter;
int part_bump(int by) {
  part_counter += by;
  return part_counter;
}
#elif PART == 2
int part_counter = 40;
int part_value_of_a_long_name(void) { return part_counter + 2; }
#else
static int part_twice(int x) { return 2 * x; }
int part_common;
int part_three(int x) { return part_twice(x) + part_common; }
int p3(int x) { return x + 3; }
#endif
