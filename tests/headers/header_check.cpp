// The whole public interface compiles as C++17 with every warning enabled.
#include "TVXClientAPI.h"

int tvx_header_check_cxx();
int tvx_header_check_cxx() { return static_cast<int>(sizeof(&QuorixCore_LoadAPI)); }
