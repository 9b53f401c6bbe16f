// Widths of the sequence fields of a Buzz song.
#include "buzz/sequence_fields.h"

uint64_t sequence_field_max(int width) { return width >= 4 ? 0xFFFFFFFFu : width == 2 ? 0xFFFFu : 0xFFu; }

int sequence_field_width(int stored) { return stored == 2 || stored == 4 ? stored : 1; }

int sequence_position_width(uint64_t largest, int at_least)
{
    constexpr int widths[] = {1, 2, 4};
    for (int width : widths)
        if (width >= at_least && largest <= sequence_field_max(width)) return width;
    return 0;
}

int sequence_value_width(int patterns) { return patterns > one_byte_sequence_patterns ? 2 : 1; }
