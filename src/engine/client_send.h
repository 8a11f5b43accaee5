// Sending one user action as one sealed message: texts, replies, files, voice,
// links, edits, reactions, deletes, profiles, avatars and group meta, and the
// group keys (rekeys, reseals, grants).
#pragma once

#include <cstddef>
#include <cstdint>

struct quorvane_cs;
