/* Every i386 decoration of a C name. */
int __stdcall sfun(int a, int b) { return a + b; }
int __fastcall ffun(int a, int b) { return a - b; }
int cfun(int a) { return a; }
int cdata = 3;
