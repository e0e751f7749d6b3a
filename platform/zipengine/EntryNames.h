#pragma once
// How a listed path becomes the name of its archive entry.

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

typedef struct zip zip_t;
typedef struct zip_source zip_source_t;

namespace zip32 {

// libzip's own test of a name, which decides whether it flags the name as UTF-8: each lead byte
// followed by the right number of continuation bytes.
bool looksLikeUtf8(std::string_view name);

// The index of the entry stored under exactly these bytes, or -1. libzip's own lookup compares
// with names it has turned into UTF-8, so a name that is not UTF-8 (legal on Linux) would never
// be found, and a CP437 name could pass for a UTF-8 one.
int64_t locateEntry(zip_t* archive, const std::string& name);

// Adds source under name, whose bytes are kept as they are. libzip refuses a name whose UTF-8
// form (a name that is not UTF-8 read as CP437) is that of another entry, though the bytes
// differ: "\x84rger.txt" (CP437 for "ärger.txt") beside "ärger.txt". Such a name goes in as a
// stand-in of the same length and kind (so that libzip writes the same flags for it), put in
// standIn; the archive file then writes the true bytes over the stand-in's. Returns the entry's
// index, or -1 with libzip's error set.
int64_t addEntry(zip_t* archive, const std::string& name, zip_source_t* source,
                 std::string& standIn);

// Removes empty and "." components and resolves ".." by text; an absolute path keeps its leading
// "/", and ".." never climbs above the start ("/.." is "/", "../a" is "a").
std::string normalizePath(std::string_view path);

// The path under which a listed name is opened: a relative name lies below the root folder when
// that is an absolute path, as if the engine worked inside the root folder.
std::string openPathFor(std::string_view name, const std::optional<std::string>& rootDir);

// The stored name: relative to the root folder when the file lies below it, otherwise the whole
// path without its leading "/". Empty when nothing of the path remains.
std::string entryNameFor(std::string_view openPath, const std::optional<std::string>& rootDir);

// The 8.3 form of every component of an entry name: upper case, at most eight characters before
// the last dot and three after it, characters that DOS does not allow replaced by "_".
std::string dosEntryName(std::string_view entryName);

// Our own extra field of an entry stored under a DOS name: the long name it stands for, so that
// a later grow or update finds the entry of the same file among other short names.
constexpr uint16_t kLongNameId = 0x4C53;

// Hands out DOS names without repeats: a name already given or taken gets "~1", "~2"... at the
// end of its last component's base, as DOS does with long names.
class DosNameTable {
public:
    std::string unique(const std::string& dosName);
    // A name that is not to be given out, such as that of an entry already in the archive.
    void take(const std::string& name) { given_.insert(name); }

private:
    std::set<std::string> given_;
};

}  // namespace zip32
