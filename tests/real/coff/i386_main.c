int __stdcall acme_sfun(int a, int b);
int __fastcall acme_ffun(int a, int b);
int acme_cfun(int a);
extern int acme_cdata;
int main(void) { return acme_sfun(1, 2) + acme_ffun(3, 4) + acme_cfun(acme_cdata); }
