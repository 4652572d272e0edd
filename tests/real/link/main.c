/* Calls a name that only the renamed object defines. */
void greeting_new(const char* who);

int main(void) {
  greeting_new("qemu");
  return 0;
}
