// The version every program of the project shows: one number, set where the project is built.
#pragma once

// The release number, with the commit when the programs were built from a git checkout:
// "3.5.0 (git 1a2b3c4)", or "3.5.0".
const char* program_version();
// The release number alone ("3.5.0"): the release archives carry it in their names.
const char* program_release();
