/* The clash test's small library; ring_level is global in ring_report.c. */
__attribute__((noinline)) static int ring_level(void) { return 1; }
int ring_count;
int ring_push(int value) { return ring_count += value * ring_level(); }
