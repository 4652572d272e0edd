/* Built into an object whose function is renamed before it is linked. */
#include <stdio.h>

void greeting_old(const char* who) { printf("hello, %s, from the renamed object\n", who); }
