// Public functions that queue commands or read the worker's rings.
#include "worker_internal.h"
