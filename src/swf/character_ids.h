// Character ids in use in a movie, so that new characters can be given one that is free.
#pragma once

#include <cstdint>

#include "support/fault.h"

struct Swf;

// The highest character id the movie defines or refers to: define tags (also inside
// sprites), placements, class names, exports and imports. 0 when there is none.
uint32_t swf_highest_character_id(Swf* swf);

// An id above every id in use (the highest plus one); Fault::too_large when 65535 is
// already in use.
Result<uint16_t> swf_free_character_id(Swf* swf);
