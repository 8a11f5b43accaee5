// The worker object: start, stop, status and the small controls the screens use.
#include "worker_internal.h"
