// Bitmap extraction: lossless bitmaps and JPEG bitmaps with an alpha plane become PNG
// files with straight alpha; JPEG bitmaps are written as stored (repaired and completed
// with the movie's JPEG tables), PNG and GIF data under their own extensions.
#include "swf/extract.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "codec/image.h"
#include "codec/png.h"
#include "platform/platform.h"
#include "support/debug.h"
#include "support/deflate.h"
#include "support/fault.h"
#include "support/memory.h"
#include "swf/bitmap_format.h"
#include "swf/naming.h"
#include "swf/res_folder.h"
#include "swf/selection.h"
#include "swf/swf.h"

namespace {

// One bitmap's work: the movie's plan and the bitmap's entry in it.
struct BitmapJob {
    const ExtractPlan& plan;
    const BitmapPlan& bitmap;
    ImageContext* images;
};

using Outcome = BitmapOutcome;

// The reader a bitmap's lines name: each kind of tag has its own, whichever helper on its
// way to the file prints the line.
const char* reader_of(const BitmapJob& job)
{
    switch (job.bitmap.tag->code) {
    case kTagDefineBitsLossless:
    case kTagDefineBitsLossless2: return "read_lossless";
    case kTagDefineBinaryData: return "read_binary_data";
    default: return "read_bits";
    }
}

// Writes one bitmap's bytes under its planned name, in the movie's open folder: whole or
// not at all, never through a link or into anything but a regular file. The failure line
// names the bitmap's reader. The lines of naming, kept by the plan, come out here, where the name
// is used.
Outcome write_bitmap_file(const BitmapJob& job, uint16_t id, std::span<const uint8_t> bytes)
{
    debug_emit(job.bitmap.naming_lines);
    const std::string& path = job.bitmap.path;
    if (path.empty())
        return Outcome::write_failed;
    const std::string_view name = std::string_view(path).substr(job.plan.folder.size() + 1);
    WriteStatus status = platform_write_in_folder(job.plan.output, name, bytes, false);
    if (status != WriteStatus::ok) {
        DEBUG_PROBLEM_IN("swf", reader_of(job), "cannot write %s (%s), bitmap %d skipped", path.c_str(),
                         platform_write_status_text(status), id);
        return Outcome::write_failed;
    }
    return Outcome::written;
}

// A bitmap that is fine but could not be written here (memory ran out, a size past the
// buffer limit): a failure of this run, not bad data, so it counts like a file that could
// not be written.
Outcome not_written(const BitmapJob& job, uint16_t id, Fault fault)
{
    DEBUG_PROBLEM_IN("swf", reader_of(job), "bitmap %d not written: %s", id, fault_text(fault));
    return Outcome::write_failed;
}

// The pixels of one PNG: indices with their palette, R, G, B or R, G, B, A.
struct PngPixels {
    int color_type;
    const uint8_t* pixels;
    const PngPalette* palette = nullptr;
};

bool png_within_limit(uint32_t width, uint32_t height, int color_type)
{
    return png_encoded_size_bound(width, height, 8, color_type).ok();
}

// A valid bitmap whose PNG, pixels or inflated data could pass the buffer limit: it cannot
// be written here, which is a failure of the run and not bad data.
Outcome past_buffer_limit(const BitmapJob& job, uint16_t id, uint32_t width, uint32_t height)
{
    DEBUG_PROBLEM_IN("swf", reader_of(job),
                     "bitmap %d of %ux%u pixels cannot be encoded within the buffer limit, not written", id, width,
                     height);
    return Outcome::write_failed;
}

// Encodes width x height pixels as PNG in memory and writes the file; nothing is created
// before the encoding has succeeded.
Outcome write_png_bitmap(const BitmapJob& job, uint16_t id, uint32_t width, uint32_t height, const PngPixels& image)
{
    const Result<uint64_t> bound = png_encoded_size_bound(width, height, 8, image.color_type);
    if (!bound.ok())
        return past_buffer_limit(job, id, width, height);
    ByteBuffer encoded = buffer_new(bound.value);
    if (!encoded)
        return not_written(job, id, Fault::out_of_memory);
    MemoryWriter writer{0, 0, encoded.get(), static_cast<uint32_t>(bound.value)};
    PngHandle png{};
    if (png_open_writer(&png, memory_writer, &writer) != Fault::none ||
        png_write_image(&png, width, height, 8, image.color_type, image.pixels, image.palette) != Fault::none) {
        DEBUG_PROBLEM_IN("swf", reader_of(job), "bitmap %d cannot be encoded as PNG, not written", id);
        return Outcome::write_failed;
    }
    return write_bitmap_file(job, id, {encoded.get(), writer.written});
}

// Straight R, G, B, A pixels, written as RGB when every alpha is 255 (the caller found out
// while making them straight).
Outcome write_straight_pixels(const BitmapJob& job, uint16_t id, uint32_t width, uint32_t height, uint8_t* rgba,
                              bool opaque)
{
    if (opaque)
        rgba_to_rgb(rgba, size_t{width} * height);
    return write_png_bitmap(job, id, width, height, {opaque ? kPngRgb : kPngRgba, rgba});
}

// The widest PNG a lossless bitmap can become, and the bytes of its pixels in that form:
// indices for colour-mapped ones (R, G, B, A only if a full table's data is cut short),
// R, G, B, A for the others (their RGB form is smaller).
int widest_png_type(const LosslessHeader& header)
{
    return header.format == kLosslessColourMapped ? kPngPalette : kPngRgba;
}

// Whether the inflated data, the widest pixels and their PNG stay below the buffer limit.
bool lossless_within_limit(const LosslessHeader& header, bool alpha)
{
    uint64_t count = uint64_t{header.width} * header.height;
    uint64_t pixel_bytes = count * (header.format == kLosslessColourMapped ? 1 : 4);
    return lossless_data_size(header, alpha) < kMaxBufferSize && pixel_bytes < kMaxBufferSize &&
           png_within_limit(header.width, header.height, widest_png_type(header));
}

// Colour-mapped data as indices and opaque data as R, G, B, converted where it was
// inflated when it fits there. Nothing (no outcome) when the bitmap needs R, G, B, A: pixels
// with alpha, or data cut short where the movie's own form cannot show what is missing.
std::optional<Outcome> write_own_form(const BitmapJob& job, const LosslessHeader& header, bool alpha, Inflated& data)
{
    std::span<const uint8_t> stored{data.bytes.get(), static_cast<size_t>(data.size)};
    const uint16_t id = header.id;
    if (header.format == kLosslessColourMapped) {
        ColourTable table;
        if (!colour_mapped_to_indices(header, alpha, stored, data.bytes.get(), &table))
            return {};
        PngPalette palette{table.colours.data(), table.alpha.data(), table.entries, table.alpha_entries};
        return write_png_bitmap(job, id, header.width, header.height, {kPngPalette, data.bytes.get(), &palette});
    }
    if (alpha && header.format == kLossless32Bit)
        return {};  // opaque or not shows in the conversion to straight colour
    ByteBuffer expanded;
    uint8_t* rgb = data.bytes.get();
    if (header.format != kLossless32Bit) {
        expanded = buffer_new(uint64_t{header.width} * header.height * 3);
        if (!expanded)
            return not_written(job, id, Fault::out_of_memory);
        rgb = expanded.get();
    }
    if (!lossless_to_rgb(header, stored, rgb))
        return {};
    return write_png_bitmap(job, id, header.width, header.height, {kPngRgb, rgb});
}

Outcome read_lossless(const BitmapJob& job, const SwfTag* tag)
{
    std::span<const uint8_t> body = tag->body;
    bool alpha = tag->code == kTagDefineBitsLossless2;
    const LosslessHeader& header = job.bitmap.header.lossless;
    if (!job.bitmap.header.lossless_read) {
        DEBUG_PROBLEM("swf", "lossless bitmap body of %zu bytes is too short, skipped", tag->body.size());
        return Outcome::skipped;
    }
    uint16_t id = header.id;
    DEBUG_LINE("swf", "alpha:%d,format:%d,width:%d,height:%d", alpha, header.format, header.width, header.height);
    if (!lossless_format_known(header.format)) {
        DEBUG_PROBLEM("swf", "unknown lossless image format %u", header.format);
        return Outcome::skipped;
    }
    // At most 65535 x 65535 x 4 bytes: computed in 64 bits. An empty picture has nothing
    // to write; one past the buffer limit is valid but cannot be written here.
    if (lossless_data_size(header, alpha) == 0) {
        DEBUG_PROBLEM("swf", "bitmap %d of %ux%u pixels is out of range, skipped", id, header.width, header.height);
        return Outcome::skipped;
    }
    if (!lossless_within_limit(header, alpha))
        return past_buffer_limit(job, id, header.width, header.height);
    uint64_t data_size = lossless_data_size(header, alpha);
    Inflated data = inflate_bitmap_data(body.subspan(header.data_offset), data_size);
    if (data.fault == Fault::out_of_memory)
        return not_written(job, id, Fault::out_of_memory);
    if (data.fault != Fault::none) {
        DEBUG_PROBLEM("swf", INFLATE_FAILED, zlib_code(data.fault), static_cast<int>(data_size));
        return Outcome::skipped;
    }
    if (std::optional<Outcome> own = write_own_form(job, header, alpha, data))
        return *own;
    // R, G, B, A: 32-bit pixels are converted where they were inflated; the other formats expand.
    uint64_t count = uint64_t{header.width} * header.height;
    ByteBuffer expanded;
    uint8_t* pixels = data.bytes.get();
    if (header.format != kLossless32Bit) {
        if (!png_within_limit(header.width, header.height, kPngRgba))  // a colour-mapped one after all
            return past_buffer_limit(job, id, header.width, header.height);
        expanded = buffer_new(count * 4);
        if (!expanded)
            return not_written(job, id, Fault::out_of_memory);
        pixels = expanded.get();
    }
    lossless_to_rgba(header, alpha, {data.bytes.get(), data.size}, pixels);
    bool opaque = alpha && unpremultiply_rgba(pixels, count);
    return write_straight_pixels(job, id, header.width, header.height, pixels, opaque);
}

// JPEG data repaired (and completed with the movie's tables for DefineBits); PNG and GIF
// data under their own extensions, as stored.
Outcome write_stored_image(const BitmapJob& job, uint16_t code, const JpegTagParts& parts)
{
    switch (stored_image_kind(parts.image)) {
    case StoredImage::png:
    case StoredImage::gif: return write_bitmap_file(job, parts.id, parts.image);
    case StoredImage::jpeg: break;
    }
    std::vector<uint8_t> jpeg;
    if (code == kTagDefineBitsJpeg2)
        jpeg = jpeg_repair(parts.image);
    else if (!job.plan.jpeg_tables.empty())
        jpeg = jpeg_merge_tables(job.plan.jpeg_tables, parts.image);
    else
        jpeg.assign(parts.image.begin(), parts.image.end());
    return write_bitmap_file(job, parts.id, jpeg);
}

// Decodes the image, puts in the inflated alpha plane and writes a PNG with straight alpha.
Outcome write_jpeg_with_alpha(const BitmapJob& job, const JpegTagParts& parts)
{
    std::vector<uint8_t> repaired;
    std::span<const uint8_t> image = parts.image;
    if (stored_image_kind(image) == StoredImage::jpeg) {
        repaired = jpeg_repair(image);
        image = repaired;
    }
    DecodedImage decoded{};
    const Fault fault = image.empty() ? Fault::malformed : image_decode(job.images, &decoded, image);
    if (fault_is_resource(fault)) {
        DEBUG_PROBLEM_IN("swf", reader_of(job), "image of bitmap %d cannot be decoded (%s), not written", parts.id,
                         fault_text(fault));
        return Outcome::write_failed;
    }
    if (fault != Fault::none) {
        DEBUG_PROBLEM_IN("swf", reader_of(job), "image of bitmap %d does not decode (%s), skipped", parts.id,
                         fault_text(fault));
        return Outcome::skipped;
    }
    std::unique_ptr<DecodedImage, decltype(&image_free)> release(&decoded, image_free);
    uint64_t count = uint64_t{decoded.width} * decoded.height;
    Inflated plane = inflate_bitmap_data(parts.alpha, count);
    if (plane.fault == Fault::out_of_memory)
        return not_written(job, parts.id, Fault::out_of_memory);
    if (plane.fault != Fault::none) {
        DEBUG_PROBLEM_IN("swf", reader_of(job), INFLATE_FAILED, zlib_code(plane.fault), static_cast<int>(count));
        return Outcome::skipped;
    }
    bool opaque = merge_alpha_plane(decoded.pixels, count, {plane.bytes.get(), count}, decoded.kind == ImageKind::jpeg);
    return write_straight_pixels(job, parts.id, decoded.width, decoded.height, decoded.pixels, opaque);
}

// DefineBits, DefineBitsJPEG2, DefineBitsJPEG3 and DefineBitsJPEG4.
Outcome read_bits(const BitmapJob& job, const SwfTag* tag)
{
    const JpegTagParts& parts = job.bitmap.header.parts;
    const JpegTagLayout layout = job.bitmap.header.layout;
    if (layout == JpegTagLayout::too_short) {
        DEBUG_PROBLEM("swf", "jpeg bitmap body of %zu bytes is too short, skipped", tag->body.size());
        return Outcome::skipped;
    }
    if (tag->code != kTagDefineBitsJpeg4)  // the later tag adds no line of its own
        DEBUG_LINE("swf", "id:%d,alpha:%d", parts.id, parts.has_alpha);
    if (layout == JpegTagLayout::image_past_end) {
        DEBUG_PROBLEM("swf", "image length %u of bitmap %d runs past the tag, skipped", parts.image_length, parts.id);
        return Outcome::skipped;
    }
    if (!parts.has_alpha)
        return write_stored_image(job, tag->code, parts);
    return write_jpeg_with_alpha(job, parts);
}

std::span<const uint8_t> find_jpeg_tables(Swf* swf)
{
    for (SwfTag* tag : swf_tags(swf))
        if (tag->code == kTagJpegTables)
            return tag->body;
    return {};
}

// Whether a lossless bitmap gets as far as its file, judged by its header alone.
bool lossless_reaches_file(uint16_t code, const BitmapHeader& read)
{
    const LosslessHeader& header = read.lossless;
    const bool alpha = code == kTagDefineBitsLossless2;
    return read.lossless_read && lossless_format_known(header.format) && lossless_data_size(header, alpha) != 0 &&
           lossless_within_limit(header, alpha);
}

// The extension of the file a bitmap tag becomes; null when the tag is refused before any
// file is named.
const char* bitmap_extension(uint16_t code, const BitmapHeader& header)
{
    if (code == kTagDefineBitsLossless || code == kTagDefineBitsLossless2)
        return lossless_reaches_file(code, header) ? ".png" : nullptr;
    if (header.layout != JpegTagLayout::ok)
        return nullptr;
    if (header.parts.has_alpha)
        return ".png";
    switch (stored_image_kind(header.parts.image)) {
    case StoredImage::png: return ".png";
    case StoredImage::gif: return ".gif";
    case StoredImage::jpeg: break;
    }
    return ".jpg";
}

// A picture file held as DefineBinaryData: written as stored.
Outcome read_binary_data(const BitmapJob& job, const SwfTag* tag)
{
    uint16_t id = 0;
    std::span<const uint8_t> data;
    binary_data_read(tag->body, &id, &data);
    DEBUG_LINE("swf", "id:%d,binary data of %zu bytes", id, data.size());
    return write_bitmap_file(job, id, data);
}

Outcome extract_tag(const BitmapJob& job)
{
    const SwfTag* tag = job.bitmap.tag;
    switch (tag->code) {
    case kTagDefineBitsLossless:
    case kTagDefineBitsLossless2: return read_lossless(job, tag);
    case kTagDefineBinaryData: return read_binary_data(job, tag);
    default: return read_bits(job, tag);
    }
}

const char* picture_extension(BitmapKind kind)
{
    switch (kind) {
    case BitmapKind::png: return ".png";
    case BitmapKind::gif: return ".gif";
    default: return ".jpg";
    }
}

bool looks_like_movie(std::span<const uint8_t> data)
{
    return data.size() >= kHeaderSize && (data[0] == 'F' || data[0] == 'C' || data[0] == 'Z') && data[1] == 'W' &&
           data[2] == 'S';
}

// Plans one DefineBinaryData: a picture file becomes a bitmap, a movie an inner movie
// whose folder is named like a bitmap, anything else is no concern of extraction.
void plan_binary_data(ExtractPlan* plan, const SwfTag* tag, uint8_t by_name)
{
    const std::span<const uint8_t> body = tag->body;
    uint16_t id = 0;
    std::span<const uint8_t> data;
    if (!binary_data_read(body, &id, &data))
        return;
    const bool movie = looks_like_movie(data);
    if (!movie && !is_picture_data(data))
        return;
    BitmapFacts facts = picture_data_facts(id, body, data);
    DebugCapture naming;
    std::string path = bitmap_file_path(plan->swf, plan->folder, id, by_name,
                                        movie ? ".swf_res" : picture_extension(facts.kind));
    if (movie)
        plan->inner.push_back({id, data, std::move(path), naming.take()});
    else
        plan->bitmaps.push_back({tag, facts, swf_class_name(plan->swf, id), std::move(path), naming.take()});
}

// What an inner movie costs beside its body (the movie, its tag list and names), counted
// so that a file of many tiny movies stays within the limit too.
constexpr uint64_t kInnerMovieCost = 4096;

// The bytes a movie's header says its body holds (the limit of what loading allocates).
uint64_t declared_body_size(std::span<const uint8_t> data)
{
    return uint64_t{data[4]} | uint64_t{data[5]} << 8 | uint64_t{data[6]} << 16 | uint64_t{data[7]} << 24;
}

class TreeBuilder {
public:
    TreeBuilder(ExtractTree* tree, uint8_t by_name, const BitmapSelection& selection)
        : tree_(*tree), by_name_(by_name), selection_(selection)
    {
        tree_.matched.assign(selection.selectors.size(), false);
    }

    void add(Swf* swf, const std::string& folder, std::string label, size_t holder, DebugLines lead, int depth)
    {
        body_bytes_ += swf->body.size();
        ExtractPlan plan = swf_extract_plan(swf, folder, by_name_);
        plan.label = std::move(label);
        plan.holder = holder;
        plan.lead_lines = std::move(lead);
        select(&plan);
        const size_t index = tree_.movies.size();
        tree_.movies.push_back(std::move(plan));
        for (size_t i = 0; i < tree_.movies[index].inner.size(); ++i)
            add_inner(index, i, depth + 1);
    }

private:
    void select(ExtractPlan* plan)
    {
        for (BitmapPlan& bitmap : plan->bitmaps) {
            const std::string name = bitmap.class_name != nullptr ? bitmap.class_name : "";
            bitmap.selected = selection_.takes_all() ||
                              selection_.take(bitmap.facts.id, bitmap.class_name ? &name : nullptr, &tree_.matched);
            tree_.selected += bitmap.selected;
        }
    }

    // Loads inner movie `which` of movie `holder` and adds it; one problem line instead
    // when it is too deep, too large or does not load.
    void add_inner(size_t holder, size_t which, int depth)
    {
        const ExtractPlan& outer = tree_.movies[holder];
        const InnerMovie& inner = outer.inner[which];
        std::string label = outer.label + "#" + std::to_string(inner.id);
        const std::string folder = inner.folder;

        DebugLines lead;
        Swf* swf = nullptr;
        {
            DebugCapture capture;
            DEBUG_HEADING("swf", "%s", label.c_str());
            debug_emit(inner.naming_lines);
            swf = load(inner, label, depth);
            lead = capture.take();
        }
        if (swf == nullptr) {
            tree_.movies.push_back({nullptr, folder, {}, {}, {}, std::move(label), holder, std::move(lead), {}});
            return;
        }
        add(swf, folder, std::move(label), holder, std::move(lead), depth);
    }

    Swf* load(const InnerMovie& inner, const std::string& label, int depth)
    {
        if (depth > kMaxMovieNesting) {
            DEBUG_PROBLEM("swf", "movie %s lies more than %d movies deep, not read", label.c_str(), kMaxMovieNesting);
            return nullptr;
        }
        if (inner.folder.empty())
            return nullptr;  // naming said why
        body_bytes_ += kInnerMovieCost;
        if (body_bytes_ + declared_body_size(inner.data) >= kMaxBufferSize) {
            DEBUG_PROBLEM("swf", "movie %s would pass the memory limit with the movies holding it, not read",
                          label.c_str());
            return nullptr;
        }
        Stream source{const_cast<uint8_t*>(inner.data.data()), 0, static_cast<uint32_t>(inner.data.size()), 0};
        DebugLines loading;
        SwfPtr swf;
        {
            DebugCapture capture;
            swf.reset(swf_read(&source, label.c_str()));
            loading = capture.take();
        }
        if (!swf) {
            DEBUG_PROBLEM("swf", "binary data %s looks like a movie but does not load (%s), skipped", label.c_str(),
                          debug_last_problem(loading).c_str());
            return nullptr;
        }
        debug_emit(std::move(loading));
        tree_.inner_swfs.push_back(std::move(swf));
        return tree_.inner_swfs.back().get();
    }

    ExtractTree& tree_;
    const uint8_t by_name_;
    const BitmapSelection& selection_;
    uint64_t body_bytes_ = 0;
};

void add_steps(ExtractTree* tree)
{
    for (size_t m = 0; m < tree->movies.size(); ++m) {
        const ExtractPlan& plan = tree->movies[m];
        if (m > 0)
            tree->steps.push_back({ExtractStep::Kind::lead, m, 0});
        if (plan.swf == nullptr)
            continue;
        for (size_t b = 0; b < plan.bitmaps.size(); ++b)
            if (plan.bitmaps[b].selected)
                tree->steps.push_back({ExtractStep::Kind::bitmap, m, b});
        tree->steps.push_back({ExtractStep::Kind::done, m, 0});
    }
}

}  // namespace

ExtractPlan swf_extract_plan(Swf* swf, const std::string& folder, uint8_t by_name)
{
    swf->file_names.clear();  // a second run over the movie writes the same names again
    ExtractPlan plan{swf, folder, find_jpeg_tables(swf), {}, {}, swf->path, 0, {}, {}};
    for (const SwfTag* tag : swf_tags(swf)) {
        if (tag->code == kTagDefineBinaryData) {
            plan_binary_data(&plan, tag, by_name);
            continue;
        }
        if (!is_bitmap_tag(tag->code))
            continue;
        const BitmapHeader header = bitmap_header_read(tag->code, tag->body);
        const BitmapFacts facts = bitmap_facts(tag->code, header, tag->body.size());
        BitmapPlan bitmap{tag, facts, swf_class_name(swf, facts.id), {}, {}, header};
        if (const char* extension = bitmap_extension(tag->code, header)) {
            DebugCapture naming;
            bitmap.path = bitmap_file_path(swf, folder, facts.id, by_name, extension);
            bitmap.naming_lines = naming.take();
        }
        plan.bitmaps.push_back(std::move(bitmap));
    }
    return plan;
}

BitmapOutcome swf_extract_bitmap(const ExtractPlan& plan, size_t index, ImageContext* images)
{
    if (!plan.output.is_open())
        return BitmapOutcome::write_failed;  // the folder's one line said why
    const BitmapPlan& bitmap = plan.bitmaps[index];
    try {
        return extract_tag({plan, bitmap, images});
    } catch (const std::bad_alloc&) {
        // Memory ran out in a container or a line: this bitmap fails, the others go on.
        DEBUG_PROBLEM_IN("swf", "swf_saveimg", "bitmap %d not written: %s", bitmap.facts.id,
                         fault_text(Fault::out_of_memory));
        return BitmapOutcome::write_failed;
    }
}

void swf_open_folders(ExtractTree* tree, OutputFolder top)
{
    std::vector<bool> wanted(tree->movies.size(), false);
    for (const ExtractStep& step : tree->steps) {
        if (step.kind != ExtractStep::Kind::bitmap)
            continue;
        for (size_t m = step.movie; !wanted[m]; m = tree->movies[m].holder) {
            wanted[m] = true;  // and every holder on the way up: its folder holds this one's
            if (m == 0)
                break;
        }
    }
    tree->movies[0].output = std::move(top);
    for (size_t m = 1; m < tree->movies.size(); ++m) {
        ExtractPlan& plan = tree->movies[m];
        const ExtractPlan& holder = tree->movies[plan.holder];
        if (wanted[m] && holder.output.is_open())
            plan.output = res_dir_enter(holder.output, plan.folder.substr(holder.folder.size() + 1));
    }
}

ExtractTree swf_extract_tree(Swf* swf, const std::string& folder, uint8_t by_name, const BitmapSelection& selection)
{
    ExtractTree tree;
    TreeBuilder(&tree, by_name, selection).add(swf, folder, swf->path, 0, {}, 0);
    add_steps(&tree);
    return tree;
}

BitmapOutcome swf_extract_step(const ExtractTree& tree, size_t step, ImageContext* images)
{
    const ExtractStep& s = tree.steps[step];
    const ExtractPlan& plan = tree.movies[s.movie];
    switch (s.kind) {
    case ExtractStep::Kind::lead: debug_emit(plan.lead_lines); break;
    case ExtractStep::Kind::bitmap: return swf_extract_bitmap(plan, s.bitmap, images);
    case ExtractStep::Kind::done: swf_extract_done(); break;
    }
    return BitmapOutcome::none;
}

void swf_extract_done() { DEBUG_LINE_IN("swf", "swf_saveimg", "------------swf_saveimg done--------------"); }

void add_outcome(ExtractCounts* counts, BitmapOutcome outcome)
{
    switch (outcome) {
    case BitmapOutcome::written: ++counts->written; break;
    case BitmapOutcome::skipped: ++counts->skipped; break;
    case BitmapOutcome::write_failed: ++counts->failed_writes; break;
    case BitmapOutcome::none: break;
    }
}

namespace {

ExtractCounts extract_into(Swf* swf, const std::string& folder, OutputFolder top, uint8_t by_name)
{
    ExtractTree tree = swf_extract_tree(swf, folder, by_name, BitmapSelection{});
    swf_open_folders(&tree, std::move(top));
    auto images = std::make_unique<ImageContext>();
    ExtractCounts counts;
    for (size_t i = 0; i < tree.steps.size(); ++i)
        add_outcome(&counts, swf_extract_step(tree, i, images.get()));
    return counts;
}

}  // namespace

ExtractCounts swf_extract(Swf* swf, const std::string& folder, uint8_t by_name)
{
    return extract_into(swf, folder, res_dir_open_path(folder), by_name);
}

void swf_saveimg(Swf* swf, uint8_t by_name)
{
    std::string folder;
    OutputFolder top;
    if (make_res_dir(swf->path.c_str(), folder, &top))
        extract_into(swf, folder, std::move(top), by_name);
}
