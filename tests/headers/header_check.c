/* The whole public interface compiles as C11 with every warning enabled. */
#include "TVXClientAPI.h"

int tvx_header_check_c(void);
int tvx_header_check_c(void) { return (int)sizeof(&QuorixCore_LoadAPI); }
