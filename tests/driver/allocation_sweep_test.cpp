// Every allocation failure in a full life of a device.
#include "driver/sim_fixture.h"
