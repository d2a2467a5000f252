// Baseline JPEG encoding and decoding with libjpeg-turbo, as an independent oracle for the tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include <jpeglib.h>

namespace oracle {

// Encodes RGB (components 3) or grey (components 1) samples. h_samp/v_samp set the luma
// sampling factors (2,2 gives 4:2:0; 2,1 gives 4:2:2; 1,1 gives 4:4:4).
inline std::vector<uint8_t> encode_jpeg(uint32_t width, uint32_t height, int components,
                                        const std::vector<uint8_t>& samples, int quality = 90,
                                        int h_samp = 1, int v_samp = 1, int restart_interval = 0)
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
    jpeg_set_quality(&cinfo, quality, TRUE);
    if (components == 3) {
        cinfo.comp_info[0].h_samp_factor = h_samp;
        cinfo.comp_info[0].v_samp_factor = v_samp;
    }
    cinfo.restart_interval = static_cast<unsigned>(restart_interval);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < height) {
        JSAMPROW row = const_cast<JSAMPROW>(samples.data() + size_t{cinfo.next_scanline} * width * components);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    std::vector<uint8_t> out(mem, mem + mem_size);
    jpeg_destroy_compress(&cinfo);
    std::free(mem);
    return out;
}

struct Decoded {
    uint32_t width = 0, height = 0;
    int components = 0;
    std::vector<uint8_t> samples;
};

inline Decoded decode_jpeg(const std::vector<uint8_t>& data)
{
    Decoded out;
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data.data(), static_cast<unsigned long>(data.size()));
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    out.width = cinfo.output_width;
    out.height = cinfo.output_height;
    out.components = cinfo.output_components;
    out.samples.resize(size_t{out.width} * out.height * out.components);
    while (cinfo.output_scanline < out.height) {
        JSAMPROW row = out.samples.data() + size_t{cinfo.output_scanline} * out.width * out.components;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return out;
}

}  // namespace oracle
