// Bad configuration values and port names.
#include "driver/sim_fixture.h"
