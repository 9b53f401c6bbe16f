// Conversion driver: input kind, outside converters, reading passes, machine layout, writing.
#pragma once

// Converts `input` into the song `output`. Returns 1 when a song was converted, 0 when the input
// was a song file that was only listed. Fatal errors end the job through job_abort.
int convert(const char* input, const char* output);

// The conversion's output stream, forgotten by the runner after a failed conversion.
void driver_forget_output();
