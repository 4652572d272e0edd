/* The small library of the clash test, whose two copies are linked into one
   program. ring_level is local here and global in ring_report.c. */
__attribute__((noinline)) static int ring_level(void) { return 1; }

int ring_count;

int ring_push(int value) {
  ring_count += value * ring_level();
  return ring_count;
}
