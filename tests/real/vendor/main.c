int api_run(int x);
int api_version(void);
int other_run(int x);

/* api_run(2) is step(4) + 1 = (4 + 3) * 5 + 1; other_run(1) is 100 + 0. */
int main(void) { return api_run(2) == 36 && api_version() == 7 && other_run(1) == 100 ? 0 : 1; }
