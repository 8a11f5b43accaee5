#include "client_account.h"

#include "client_session.h"

int cs_account_frame(quorvane_cs *, uint8_t, const uint8_t *, size_t) { return 0; }
