// A library that exports none of the entries.
#if defined(_WIN32)
extern "C" __declspec(dllexport) int tvx_double_exports_nothing(void) { return 0; }
#else
extern "C" __attribute__((visibility("default"))) int tvx_double_exports_nothing(void) { return 0; }
#endif
