// Character ids in use in a movie, so that new characters can be given one that is free.
#pragma once

#include <cstdint>

struct Swf;

// The highest character id the movie defines or refers to: define tags (also inside
// sprites), placements, class names, exports and imports. 0 when there is none.
uint32_t swf_highest_character_id(Swf* swf);

// An id above every id in use (the highest plus one); 0 when 65535 is already in use.
uint32_t swf_free_character_id(Swf* swf);
