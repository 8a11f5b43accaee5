#include "client_send.h"

#include "client_session.h"
