/* A program without C runtime: its entry point calls the library and exits
   with what it returns. */
__declspec(dllimport) void __stdcall ExitProcess(unsigned code);
int NAME(vfun_alpha)(int a);
extern int NAME(vdata_beta);
void start(void) { ExitProcess((unsigned)(NAME(vfun_alpha)(NAME(vdata_beta)))); }
