/* The library of the MSVC-style case. */
int vdata_beta = 41;
int vfun_alpha(int a) { return a + 1; }
