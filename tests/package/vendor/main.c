int one_counter_next(void);
int two_counter_next(void);

/* Each copy counts on its own: 1, 2 from the first, 1 from the second. */
int main(void) {
  return one_counter_next() == 1 && one_counter_next() == 2 && two_counter_next() == 1 ? 0 : 1;
}
