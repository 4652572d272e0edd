/* A member of a small library, picked by VENDOR_PART; step is used across members. */
#if VENDOR_PART == 1
int step(int x);
int twice(int x) { return 2 * x; }
int api_run(int x) { return step(twice(x)) + 1; }
#elif VENDOR_PART == 2
int offset_of(int x) { return x + 3; }
int step(int x) { return offset_of(x) * 5; }
#else
int api_version(void) { return 7; }
#endif
