#include "swf/naming.h"

#include <cstring>
#include <string_view>

#include "platform/platform.h"
#include "support/debug.h"
#include "swf/swf.h"
#include "swf/symbols.h"

bool FileNameClaims::claim(const std::string& file_name)
{
    return keys_.insert(platform_file_name_key(file_name)).second;
}

const char* swf_class_name(const Swf* swf, uint16_t id)
{
    const SymbolNames* names = swf->names.get();
    uint32_t at = symbols_get(names, id);
    return at != names->n_buckets && names->values[at] != nullptr ? names->values[at]->name : nullptr;
}

std::string swf_symbol_name(const Swf* swf, uint16_t id)
{
    const char* name = swf_class_name(swf, id);
    return name != nullptr ? name : std::to_string(id);
}

std::string sanitize_file_name(std::string name)
{
    for (char& c : name)
        if (platform_is_forbidden_name_byte(c))
            c = '_';
    // The system reads a device name up to the first dot: "con.x.png" is the console too.
    if (platform_is_device_name(std::string_view(name).substr(0, name.find('.'))))
        name.insert(0, 1, '_');
    return name;
}

namespace {

// The class name as a file name of this system, without the extension.
std::string class_file_stem(const Swf* swf, uint16_t id)
{
    return sanitize_file_name(platform_file_name_text(swf_symbol_name(swf, id), '_'));
}

// "<id><extension>", or "<id>_2<extension>", "<id>_3<extension>", ... when a class name
// took that already: the first one still free.
std::string claim_id_file_name(Swf* swf, uint16_t id, const char* extension)
{
    std::string file = std::to_string(id) + extension;
    for (int n = 2; !swf->file_names.claim(file); ++n)
        file = std::to_string(id) + "_" + std::to_string(n) + extension;
    return file;
}

}  // namespace

std::string bitmap_file_path(Swf* swf, const std::string& folder, uint16_t id, uint8_t by_name, const char* extension)
{
    std::string stem = by_name ? class_file_stem(swf, id) : std::to_string(id);
    if (platform_path_units(stem) + std::strlen(extension) > kMaxName) {
        DEBUG_LINE("swf", "class name of bitmap %d is too long for a file name; using the id", id);
        stem = std::to_string(id);
    }
    std::string file = stem + extension;
    if (!swf->file_names.claim(file)) {
        std::string taken = file;
        file = claim_id_file_name(swf, id, extension);
        DEBUG_LINE("swf", "%s is taken by another bitmap; bitmap %d is written as %s", taken.c_str(), id, file.c_str());
    }
    std::string path = folder + kPathSeparator + file;
    if (platform_path_units(path) >= kMaxPath) {
        DEBUG_PROBLEM("swf", "path too long, bitmap %d skipped: %s", id, path.c_str());
        return {};
    }
    return path;
}
