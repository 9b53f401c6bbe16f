// Merging two Buzz songs into one, or transforming one song alone (positions, blow-up, repeat,
// the wave and machine tools), written through a temporary file into the output song.
#pragma once

// Merges `first` and `second` into `output`; with `second` null the first song is transformed
// alone. Fatal errors end the job through job_abort.
void merge_songs(const char* first, const char* second, const char* output);

// Non-zero when the last merge_songs merged a second song in (the final message then says
// "Merging finished!" rather than "Transformation finished!").
int merge_is_merging();
