// JPEG encoding and decoding with libjpeg-turbo, as an independent oracle for the tests.
#pragma once

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <jpeglib.h>

namespace oracle {

struct JpegOptions {
    int quality = 90;
    int h_samp = 1;  // luma sampling factors (2,2 gives 4:2:0; 2,1 gives 4:2:2); chroma is 1x1
    int v_samp = 1;
    int restart_interval = 0;  // in MCUs
    bool progressive = false;
    bool scan_per_component = false;  // sequential, one scan per component, last component first
    bool store_rgb = false;           // colour stored as R, G, B (an Adobe marker says so)
};

// Encodes RGB (components 3) or grey (components 1) samples.
inline std::vector<uint8_t> encode_jpeg(uint32_t width, uint32_t height, int components,
                                        const std::vector<uint8_t>& samples, const JpegOptions& options = {})
{
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* mem = nullptr;
    unsigned long mem_size = 0;
    jpeg_mem_dest(&cinfo, &mem, &mem_size);
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = components;
    cinfo.in_color_space = components == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, options.quality, TRUE);
    if (options.store_rgb)
        jpeg_set_colorspace(&cinfo, JCS_RGB);
    cinfo.comp_info[0].h_samp_factor = options.h_samp;
    cinfo.comp_info[0].v_samp_factor = options.v_samp;
    for (int i = 1; i < cinfo.num_components; ++i)
        cinfo.comp_info[i].h_samp_factor = cinfo.comp_info[i].v_samp_factor = 1;
    cinfo.restart_interval = static_cast<unsigned>(options.restart_interval);
    if (options.progressive)
        jpeg_simple_progression(&cinfo);
    jpeg_scan_info scans[3];
    if (options.scan_per_component) {
        for (int i = 0; i < components; ++i)
            scans[i] = jpeg_scan_info{1, {components - 1 - i}, 0, 63, 0, 0};
        cinfo.scan_info = scans;
        cinfo.num_scans = components;
    }
    jpeg_start_compress(&cinfo, TRUE);
    const size_t row_bytes = size_t{width} * static_cast<size_t>(components);
    while (cinfo.next_scanline < height) {
        JSAMPROW row = const_cast<JSAMPROW>(samples.data() + size_t{cinfo.next_scanline} * row_bytes);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    std::vector<uint8_t> out(mem, mem + mem_size);
    jpeg_destroy_compress(&cinfo);
    std::free(mem);
    return out;
}

struct Decoded {
    bool ok = false;   // decoded to the end; false leaves no samples
    int warnings = 0;  // corrupt data is only a warning to libjpeg
    std::string error;
    uint32_t width = 0, height = 0;
    int file_components = 0;  // as stored
    int components = 0;       // of `samples`
    std::vector<uint8_t> samples;

    bool clean() const { return ok && warnings == 0; }
};

namespace detail {

struct JumpingErrors {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

// libjpeg's default error_exit ends the process; this returns to decode_into instead.
[[noreturn]] inline void jump_out(j_common_ptr cinfo)
{
    auto* errors = reinterpret_cast<JumpingErrors*>(cinfo->err);
    cinfo->err->format_message(cinfo, errors->message);
    std::longjmp(errors->jump, 1);
}

// Nothing with a destructor lives in this frame, so the jump skips none.
inline bool decode_into(const std::vector<uint8_t>& data, bool as_rgb, Decoded* out, JumpingErrors* errors)
{
    jpeg_decompress_struct cinfo{};
    cinfo.err = jpeg_std_error(&errors->base);
    errors->base.error_exit = jump_out;
    errors->base.output_message = [](j_common_ptr) {};
    if (setjmp(errors->jump)) {
        out->warnings = static_cast<int>(errors->base.num_warnings);
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data.data(), static_cast<unsigned long>(data.size()));
    jpeg_read_header(&cinfo, TRUE);
    if (as_rgb)
        cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    out->width = cinfo.output_width;
    out->height = cinfo.output_height;
    out->file_components = cinfo.num_components;
    out->components = cinfo.output_components;
    const size_t row_bytes = size_t{out->width} * static_cast<size_t>(out->components);
    out->samples.resize(row_bytes * out->height);
    while (cinfo.output_scanline < out->height) {
        JSAMPROW row = out->samples.data() + size_t{cinfo.output_scanline} * row_bytes;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    out->warnings = static_cast<int>(errors->base.num_warnings);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

}  // namespace detail

// Default libjpeg-turbo decoding (accurate integer IDCT, smooth upsampling), as stored or
// converted to RGB.
inline Decoded decode_jpeg(const std::vector<uint8_t>& data, bool as_rgb = false)
{
    Decoded out;
    detail::JumpingErrors errors{};
    out.ok = detail::decode_into(data, as_rgb, &out, &errors);
    if (!out.ok) {
        out.error = errors.message;
        out.samples.clear();
    }
    return out;
}

}  // namespace oracle
