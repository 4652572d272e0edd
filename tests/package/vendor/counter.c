/* A counter whose state is a global name, as in a library that leaks it. */
int counter_state;
int counter_step = 1;
int counter_next(void) { return counter_state += counter_step; }
int counter_unused_helper(void) { return 0; }
