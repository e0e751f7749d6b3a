#include "platform/zipengine/EntryNames.h"

#include <zip.h>

#include <cstring>
#include <vector>

namespace zip32 {

namespace {

std::vector<std::string_view> components(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        std::string_view part = path.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    return parts;
}

bool isAbsolute(std::string_view path) {
    return !path.empty() && path.front() == '/';
}

// The root folder as a normalized absolute path, or nothing when it names no absolute folder
// (an empty text, or a foreign form such as "c:\").
std::optional<std::string> absoluteRoot(const std::optional<std::string>& rootDir) {
    if (!rootDir || !isAbsolute(*rootDir)) {
        return std::nullopt;
    }
    return normalizePath(*rootDir);
}

bool dosAllowed(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || std::strchr("!#$%&'()-@^_`{}~", c);
}

// Maps one name part; a multi-byte UTF-8 character becomes one "_".
std::string dosPart(std::string_view part, size_t limit) {
    std::string out;
    for (unsigned char c : part) {
        if (out.size() == limit) {
            break;
        }
        if ((c & 0xC0) == 0x80) {
            continue;
        }
        if (c >= 'a' && c <= 'z') {
            c = static_cast<unsigned char>(c - 'a' + 'A');
        }
        out.push_back(c != 0 && dosAllowed(c) ? static_cast<char>(c) : '_');
    }
    return out;
}

std::string dosComponent(std::string_view component) {
    while (!component.empty() && component.front() == '.') {
        component.remove_prefix(1);
    }
    size_t dot = component.rfind('.');
    std::string_view base = component.substr(0, dot);
    std::string_view ext =
        dot == std::string_view::npos ? std::string_view{} : component.substr(dot + 1);
    std::string name = dosPart(base, 8);
    if (name.empty()) {
        name = "_";
    }
    std::string extension = dosPart(ext, 3);
    return extension.empty() ? name : name + "." + extension;
}

}  // namespace

std::string normalizePath(std::string_view path) {
    std::string out = isAbsolute(path) ? "/" : "";
    for (std::string_view part : components(path)) {
        if (!out.empty() && out.back() != '/') {
            out.push_back('/');
        }
        out.append(part);
    }
    return out;
}

std::string openPathFor(std::string_view name, const std::optional<std::string>& rootDir) {
    std::optional<std::string> root = absoluteRoot(rootDir);
    if (isAbsolute(name) || !root || name.empty()) {
        return std::string(name);
    }
    return (*root == "/" ? "/" : *root + "/") + std::string(name);
}

std::string entryNameFor(std::string_view openPath, const std::optional<std::string>& rootDir) {
    std::string path = normalizePath(openPath);
    std::optional<std::string> root = absoluteRoot(rootDir);
    if (root && isAbsolute(path)) {
        std::string prefix = *root == "/" ? "/" : *root + "/";
        if (path.compare(0, prefix.size(), prefix) == 0) {
            return path.substr(prefix.size());
        }
    }
    return isAbsolute(path) ? path.substr(1) : path;
}

std::string dosEntryName(std::string_view entryName) {
    std::string out;
    for (std::string_view part : components(entryName)) {
        if (!out.empty()) {
            out.push_back('/');
        }
        out.append(dosComponent(part));
    }
    return out;
}

std::string DosNameTable::unique(const std::string& dosName) {
    std::string candidate = dosName;
    size_t slash = dosName.rfind('/');
    size_t baseStart = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = dosName.find('.', baseStart);
    size_t baseEnd = dot == std::string::npos ? dosName.size() : dot;
    for (unsigned n = 1; given_.count(candidate) != 0; ++n) {
        std::string tail = "~" + std::to_string(n);
        size_t keep = std::min(baseEnd - baseStart, tail.size() < 8 ? 8 - tail.size() : 0);
        candidate = dosName.substr(0, baseStart + keep) + tail + dosName.substr(baseEnd);
    }
    given_.insert(candidate);
    return candidate;
}

bool looksLikeUtf8(std::string_view name) {
    for (size_t i = 0; i < name.size();) {
        const auto lead = static_cast<unsigned char>(name[i]);
        const size_t more = lead < 0x80             ? 0
                            : (lead & 0xE0) == 0xC0 ? 1
                            : (lead & 0xF0) == 0xE0 ? 2
                            : (lead & 0xF8) == 0xF0 ? 3
                                                    : 4;
        if (more == 4 || (more > 0 && i + more >= name.size())) {
            return false;
        }
        for (size_t k = 1; k <= more; ++k) {
            if ((static_cast<unsigned char>(name[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += more + 1;
    }
    return true;
}

int64_t locateEntry(zip_t* archive, const std::string& name) {
    const auto sameBytes = [&](zip_int64_t index) {
        const char* stored =
            zip_get_name(archive, static_cast<zip_uint64_t>(index), ZIP_FL_ENC_RAW);
        return stored != nullptr && name == stored;
    };
    const zip_int64_t index = zip_name_locate(archive, name.c_str(), ZIP_FL_ENC_RAW);
    if (index >= 0 ? sameBytes(index) : looksLikeUtf8(name)) {
        return index;
    }
    // libzip keeps names it took for CP437 under their UTF-8 form: compare the bytes of each.
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        if (sameBytes(i)) {
            return i;
        }
    }
    return -1;
}

namespace {

// The bytes that keep a name's kind when they take one's place: an ASCII character for an
// ASCII one, a UTF-8 continuation byte for one.
std::string_view replacementsFor(unsigned char c) {
    static const std::string continuation = [] {
        std::string bytes;
        for (int b = 0x80; b <= 0xBF; ++b) {
            bytes.push_back(static_cast<char>(b));
        }
        return bytes;
    }();
    if (c < 0x80) {
        return c == '/' ? std::string_view{}
                        : "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_";
    }
    return (c & 0xC0) == 0x80 ? std::string_view(continuation) : std::string_view{};
}

}  // namespace

int64_t addEntry(zip_t* archive, const std::string& name, zip_source_t* source,
                 std::string& standIn) {
    standIn.clear();
    const zip_int64_t added = zip_file_add(archive, name.c_str(), source, 0);
    if (added >= 0 || zip_error_code_zip(zip_get_error(archive)) != ZIP_ER_EXISTS ||
        locateEntry(archive, name) >= 0) {
        return added;
    }
    std::string candidate = name;
    for (size_t i = 0; i < name.size(); ++i) {
        for (char replacement : replacementsFor(static_cast<unsigned char>(name[i]))) {
            if (replacement == name[i]) {
                continue;
            }
            candidate[i] = replacement;
            // An entry that libzip's table lost track of may hold these bytes already.
            if (locateEntry(archive, candidate) >= 0) {
                continue;
            }
            const zip_int64_t index = zip_file_add(archive, candidate.c_str(), source, 0);
            if (index >= 0) {
                standIn = candidate;
                return index;
            }
            if (zip_error_code_zip(zip_get_error(archive)) != ZIP_ER_EXISTS) {
                return -1;
            }
        }
        candidate[i] = name[i];
    }
    zip_error_set(zip_get_error(archive), ZIP_ER_EXISTS, 0);
    return -1;
}

}  // namespace zip32
