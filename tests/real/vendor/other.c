/* A second library that defines the names the first one keeps to itself. */
int twice(int x) { return 100 * x; }
int offset_of(int x) { return x - 1; }
int other_run(int x) { return twice(x) + offset_of(x); }
