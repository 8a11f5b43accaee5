// The worker's thread: how this device gets its keys, the stores it opens, and
// the reconnect loop around the connected run.
#include "worker_internal.h"
