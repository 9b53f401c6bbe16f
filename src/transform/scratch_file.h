// Scratch files of a merge or a tool: created exclusively under a unique name beside the file
// they belong to, so that jobs running at once in one folder never meet, and removed on every way
// out (also while a failed job unwinds) unless they are committed under their final name.
#pragma once

#include <string>

#include "core/byteio.h"

struct ScratchFile {
    File file;
    std::string name; // "" when there is none

    ScratchFile() = default;
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    ~ScratchFile() { discard(); }

    // Creates "<short stem of beside>-<random>.tmp" for reading and writing; false when it cannot be created.
    bool create(const std::string& beside);
    // Closes and removes the file; nothing when there is none.
    void discard();
    // Flushes and closes the file and renames it to final_name, replacing a file of that name.
    // False when a write failed (a full disk) or the rename failed; the file is removed then.
    bool commit(const char* final_name);
    // Flushes the file; false when a write has failed.
    bool flush_ok();
    FILE* get() const { return file.get(); }
};

// The folder part of a path with its final separator ("" for a bare file name).
std::string folder_of(const std::string& path);
