#include "client_community.h"

#include "client_session.h"

int cs_community_frame(quorvane_cs *, uint8_t, const uint8_t *, size_t) { return 0; }
