/* Calls two copies of one library, each moved out of the other's way. */
int acme_ring_push(int value), beta_ring_push(int value);
void acme_ring_report(const char* who), beta_ring_report(const char* who);
int main(void) {
  acme_ring_push(2), acme_ring_push(3), beta_ring_push(4);
  acme_ring_report("acme"), beta_ring_report("beta");
  return 0;
}
