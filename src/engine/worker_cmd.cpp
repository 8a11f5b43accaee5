// The command queue: records the screens fill, applied on the worker's thread.
#include "worker_internal.h"
