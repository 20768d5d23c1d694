/*
 * The one nonpaged pool type of mpsbus. Until DriverEntry has asked which
 * Windows runs, it is the type every Windows accepts.
 */
#include "mpsbus.h"

POOL_TYPE gNonPagedPoolType = NonPagedPool;
