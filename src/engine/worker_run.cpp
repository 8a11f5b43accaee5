// One connection's life inside the worker thread: sign-in, becoming ready, and
// the loop that applies commands and copies the session's results out.
#include "worker_internal.h"
