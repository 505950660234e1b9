// The .reg file (REGEDIT4 text) behind the registry: KX_REGISTRY.
//
// The file is the user's, and is treated as a careful editor treats the
// files it edits:
//   - one that exists but cannot be read, is not a regular file, or does not
//     parse is refused: one message, the registry starts empty and stays in
//     memory, and the file is never written;
//   - an empty file is an empty registry (there is nothing in it to lose);
//   - a read-only file is never written: the first change says so once;
//   - a save writes the whole registry to a new file in the folder of the
//     file written, with the old file's mode and owner, flushes it, and
//     renames it over the old one, so a crash leaves the old or the new
//     registry, never a mix. A symbolic link stays a link: the file it leads
//     to is the one replaced;
//   - a save keeps the file's comments, blank lines, the order of its keys
//     and values and the text of every value that did not change; new keys
//     and values go after their siblings, and a key gets a section of its
//     own only when it has values or no subkeys;
//   - a failed save is reported once (until a later save succeeds).
// Whatever the writer writes, the reader reads back as the same tree.
#pragma once

#include <string>

#include <sys/types.h>

#include "registry_tree.h"

namespace kxreg {

struct RegistryFile {
    std::string path;   // as KX_REGISTRY names it; empty: memory only
    std::string target; // the file written: path, or where its links lead
    bool exists = false;
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
    bool writable = false; // saves go to the file
    bool readOnly = false; // the file's permissions forbid writing it
    bool readOnlyTold = false;
    LONG status = ERROR_SUCCESS; // why the file was refused, or the last save failed
    bool failureTold = false;
};

// Reads KX_REGISTRY into a fresh tree.
void LoadRegistryFile(RegistryFile &file, Tree &tree);
// Writes the tree to the file, as above.
void SaveRegistryFile(RegistryFile &file, const Tree &tree);

// The text of a tree as a .reg file, and a tree from such text (false with
// the line and reason when the text is not a registry file this reader
// understands; the tree then holds what came before that line).
std::string SerialiseTree(const Tree &tree);
bool ParseTree(const std::string &text, Tree &tree, int *errorLine, std::string *error);

} // namespace kxreg
