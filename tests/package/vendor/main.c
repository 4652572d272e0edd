int one_counter_next(void);
int two_counter_next(void);

/* Each copy counts on its own: 1, 2 from the first, 1 from the second. */
int main(void) {
  int a = one_counter_next();
  int b = one_counter_next();
  int c = two_counter_next();
  return a == 1 && b == 2 && c == 1 ? 0 : 1;
}
