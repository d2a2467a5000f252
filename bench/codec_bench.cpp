// Codec benchmarks, each one paired with its peer on the same input: our PNG writer and
// reader against libpng, our JPEG decoder and encoder against libjpeg-turbo, the GBK
// conversions against glibc iconv, and zlib's deflate against libdeflate for the one-shot
// compressions. Names end in "/ours" or "/peer"; bench/report.py turns pairs into ratios.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <iconv.h>
#include <jpeglib.h>
#include <libdeflate.h>
#include <png.h>
#include <zlib.h>

#include "bench_images.h"
#include "codec/jpeg_decoder.h"
#include "codec/jpeg_encoder.h"
#include "codec/png.h"
#include "jpeg_oracle.h"
#include "libpng_writer.h"
#include "png_oracle.h"
#include "text/charset.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---- PNG ---------------------------------------------------------------------------------

// Into `out`, which the caller sized by png_encoded_size_bound (once: filling a fresh
// buffer of the bound's size would cost more than some images take to encode); the size.
size_t ours_png_write(const Bytes& rgba, uint32_t w, uint32_t h, Bytes& out)
{
    MemoryWriter writer{0, 0, out.data(), static_cast<uint32_t>(out.size())};
    PngHandle png{};
    png_open_writer(&png, memory_writer, &writer);
    if (png_write_image(&png, w, h, 8, 6, rgba.data()) != Fault::none)
        return 0;
    return writer.written;
}

Bytes ours_png_file(const Bytes& rgba, uint32_t w, uint32_t h)
{
    Bytes out(png_encoded_size_bound(w, h, 8, 6).value);
    out.resize(ours_png_write(rgba, w, h, out));
    return out;
}

bool ours_png_read(const Bytes& file, Bytes& out)
{
    MemoryReader reader{0, static_cast<uint32_t>(file.size()), file.data()};
    PngHandle png{};
    if (png_open_read(&png, memory_reader, &reader) != Fault::none)
        return false;
    return png_get_data(&png, out.data()) == Fault::none;
}

bool libpng_read(const Bytes& file, Bytes& out, std::vector<png_bytep>& rows)
{
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    oracle::MemorySource source{&file};
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &source, oracle::read_from_memory);
    png_read_info(png, info);
    uint32_t w = png_get_image_width(png, info), h = png_get_image_height(png, info);
    rows.resize(h);
    for (uint32_t y = 0; y < h; ++y)
        rows[y] = out.data() + size_t{y} * w * 4;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

void register_png(bench::Look look, uint32_t side)
{
    std::string name = std::string(bench::look_name(look)) + "/" + std::to_string(side);
    auto rgba = std::make_shared<Bytes>(bench::make_pixels(look, side, side, side));
    benchmark::RegisterBenchmark(("png_write/" + name + "/ours").c_str(), [=](benchmark::State& st) {
        Bytes out(png_encoded_size_bound(side, side, 8, 6).value);
        size_t n = 0;
        for (auto _ : st)
            benchmark::DoNotOptimize(n = ours_png_write(*rgba, side, side, out));
        st.counters["bytes_out"] = double(n);
        st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(rgba->size()));
    });
    benchmark::RegisterBenchmark(("png_write/" + name + "/peer").c_str(), [=](benchmark::State& st) {
        Bytes out;
        out.reserve(png_encoded_size_bound(side, side, 8, 6).value);
        size_t n = 0;
        for (auto _ : st)
            benchmark::DoNotOptimize(n = bench::libpng_write(*rgba, side, side, out));
        st.counters["bytes_out"] = double(n);
        st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(rgba->size()));
    });
    auto file = std::make_shared<Bytes>(ours_png_file(*rgba, side, side));
    benchmark::RegisterBenchmark(("png_read/" + name + "/ours").c_str(), [=](benchmark::State& st) {
        Bytes out(rgba->size());
        for (auto _ : st)
            if (!ours_png_read(*file, out))
                st.SkipWithError("decode failed");
        if (out != *rgba)
            st.SkipWithError("wrong pixels");
        st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(rgba->size()));
    });
    benchmark::RegisterBenchmark(("png_read/" + name + "/peer").c_str(), [=](benchmark::State& st) {
        Bytes out(rgba->size());
        std::vector<png_bytep> rows;
        for (auto _ : st)
            if (!libpng_read(*file, out, rows))
                st.SkipWithError("decode failed");
        if (out != *rgba)
            st.SkipWithError("wrong pixels");
        st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(rgba->size()));
    });
}

// ---- JPEG --------------------------------------------------------------------------------

// libjpeg-turbo encoding of R, G, B samples at the given quality and luma sampling.
Bytes turbo_encode(const Bytes& rgb, uint32_t w, uint32_t h, int quality, int h_samp, int v_samp)
{
    return oracle::encode_jpeg(w, h, 3, rgb, {.quality = quality, .h_samp = h_samp, .v_samp = v_samp});
}

bool turbo_decode(const Bytes& data, Bytes& out)
{
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data.data(), static_cast<unsigned long>(data.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    size_t stride = size_t{cinfo.output_width} * 3;
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW rows[16];
        for (JDIMENSION i = 0; i < 16; ++i)
            rows[i] = out.data() + (cinfo.output_scanline + i) * stride;
        jpeg_read_scanlines(&cinfo, rows, 16);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

size_t append_sink(const void* data, size_t size, size_t count, void* context)
{
    auto* out = static_cast<Bytes*>(context);
    auto* bytes = static_cast<const uint8_t*>(data);
    out->insert(out->end(), bytes, bytes + size * count);
    return count;
}

void register_jpeg(bench::Look look, uint32_t side)
{
    constexpr int kQuality = 80;
    auto rgb = std::make_shared<Bytes>(bench::drop_alpha(bench::make_pixels(look, side, side, side)));
    std::string base = std::string(bench::look_name(look)) + "/" + std::to_string(side);
    for (auto [h_samp, v_samp, label] : {std::tuple{1, 1, "444"}, std::tuple{2, 2, "420"}}) {
        auto jpeg = std::make_shared<Bytes>(turbo_encode(*rgb, side, side, kQuality, h_samp, v_samp));
        std::string name = "jpeg_decode/" + base + "/" + label;
        benchmark::RegisterBenchmark((name + "/ours").c_str(), [=](benchmark::State& st) {
            JpegDecoder decoder;
            for (auto _ : st) {
                if (decoder.decode(*jpeg) != Fault::none)
                    st.SkipWithError("decode failed");
                benchmark::DoNotOptimize(decoder.pixels());
                decoder.release();
            }
            st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(rgb->size()));
        });
        benchmark::RegisterBenchmark((name + "/peer").c_str(), [=](benchmark::State& st) {
            Bytes out(rgb->size() + size_t{side} * 3 * 16);
            for (auto _ : st)
                turbo_decode(*jpeg, out);
            st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(rgb->size()));
        });
    }
    std::string name = "jpeg_encode/" + base + "/444";
    benchmark::RegisterBenchmark((name + "/ours").c_str(), [=](benchmark::State& st) {
        Bytes out;
        out.reserve(rgb->size());
        for (auto _ : st) {
            out.clear();
            int n = 0;
            if (jpeg_encode(&out, append_sink, &n, rgb->data(), side, side, 3, kQuality) != Fault::none)
                st.SkipWithError("encode failed");
        }
        st.counters["bytes_out"] = double(out.size());
        st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(rgb->size()));
    });
    benchmark::RegisterBenchmark((name + "/peer").c_str(), [=](benchmark::State& st) {
        size_t n = 0;
        for (auto _ : st)
            n = turbo_encode(*rgb, side, side, kQuality, 1, 1).size();
        st.counters["bytes_out"] = double(n);
        st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(rgb->size()));
    });
}

// ---- GBK ---------------------------------------------------------------------------------

// Long GBK texts: "mixed" alternates ASCII identifiers and short Chinese runs, as class
// names do; "chinese" is Chinese only. Characters come from GB2312's first level.
Bytes make_gbk_text(bool mixed, size_t bytes)
{
    Bytes text;
    uint32_t n = 1;
    while (text.size() < bytes) {
        n = n * 1103515245u + 12345u;
        if (mixed && (n >> 16) % 2 == 0) {
            static const char* words[] = {"ui", "Panel", "bg", "icon_", "button", ".", "_", "Main", "img", "01"};
            for (const char* c = words[(n >> 20) % 10]; *c; ++c)
                text.push_back(uint8_t(*c));
        } else {
            for (int k = 0, run = mixed ? 1 + (n >> 24) % 4 : 16; k < run; ++k) {
                n = n * 1103515245u + 12345u;
                text.push_back(uint8_t(0xB0 + (n >> 16) % 39));  // 0xD7FA.. are unassigned
                text.push_back(uint8_t(0xA1 + (n >> 8) % 94));
            }
        }
    }
    return text;
}

Bytes iconv_convert(iconv_t cd, const Bytes& in, Bytes& out)
{
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* src = reinterpret_cast<char*>(const_cast<uint8_t*>(in.data()));
    size_t src_left = in.size();
    char* dst = reinterpret_cast<char*>(out.data());
    size_t dst_left = out.size();
    if (iconv(cd, &src, &src_left, &dst, &dst_left) == size_t(-1))
        return {};
    return Bytes(out.data(), out.data() + (out.size() - dst_left));
}

void register_gbk(bool mixed)
{
    constexpr size_t kTextBytes = 1 << 20;
    auto gbk = std::make_shared<Bytes>(make_gbk_text(mixed, kTextBytes));
    iconv_t to_utf8 = iconv_open("UTF-8", "GBK");
    iconv_t to_gbk = iconv_open("GBK", "UTF-8");
    Bytes scratch(gbk->size() * 2 + 16);
    auto utf8 = std::make_shared<Bytes>(iconv_convert(to_utf8, *gbk, scratch));
    if (to_utf8 == iconv_t(-1) || to_gbk == iconv_t(-1) || utf8->empty()) {
        std::fprintf(stderr, "codec-bench: iconv cannot convert GBK here; GBK benchmarks skipped\n");
        return;
    }
    std::string kind = mixed ? "mixed" : "chinese";

    benchmark::RegisterBenchmark(("gbk_to_utf8/" + kind + "/ours").c_str(), [=](benchmark::State& st) {
        Bytes out(gbk_to_utf8_capacity(gbk->size()));
        int len = 0;
        for (auto _ : st)
            gbk_to_utf8(reinterpret_cast<const char*>(gbk->data()), gbk->size(), reinterpret_cast<char*>(out.data()),
                        out.size(), &len);
        if (Bytes(out.data(), out.data() + len) != *utf8)
            st.SkipWithError("differs from iconv");
        st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(gbk->size()));
    });
    benchmark::RegisterBenchmark(("gbk_to_utf8/" + kind + "/peer").c_str(), [=](benchmark::State& st) {
        Bytes out(gbk->size() * 2 + 16);
        for (auto _ : st)
            benchmark::DoNotOptimize(iconv_convert(to_utf8, *gbk, out).size());
        st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(gbk->size()));
    });
    benchmark::RegisterBenchmark(("utf8_to_gbk/" + kind + "/ours").c_str(), [=](benchmark::State& st) {
        Bytes out(utf8_to_gbk_capacity(utf8->size()));
        int len = 0;
        for (auto _ : st)
            utf8_to_gbk(reinterpret_cast<const char*>(utf8->data()), utf8->size(), reinterpret_cast<char*>(out.data()),
                        out.size(), &len);
        if (Bytes(out.data(), out.data() + len) != *gbk)
            st.SkipWithError("differs from iconv");
        st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(utf8->size()));
    });
    benchmark::RegisterBenchmark(("utf8_to_gbk/" + kind + "/peer").c_str(), [=](benchmark::State& st) {
        Bytes out(utf8->size() + 16);
        for (auto _ : st)
            benchmark::DoNotOptimize(iconv_convert(to_gbk, *utf8, out).size());
        st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(utf8->size()));
    });
}

// ---- one-shot deflate: zlib against libdeflate ------------------------------------------

// The filtered rows our PNG writer deflates (filter byte None before every row).
Bytes filtered_rows(const Bytes& rgba, uint32_t w, uint32_t h)
{
    Bytes rows;
    rows.reserve(size_t{h} * (size_t{w} * 4 + 1));
    for (uint32_t y = 0; y < h; ++y) {
        rows.push_back(0);
        rows.insert(rows.end(), rgba.data() + size_t{y} * w * 4, rgba.data() + size_t{y + 1} * w * 4);
    }
    return rows;
}

void register_deflate(bench::Look look, uint32_t side)
{
    auto rows = std::make_shared<Bytes>(filtered_rows(bench::make_pixels(look, side, side, side), side, side));
    std::string name = "deflate/" + std::string(bench::look_name(look)) + "/" + std::to_string(side);
    // Here "ours" is what the product calls (zlib) and "peer" the candidate (libdeflate).
    benchmark::RegisterBenchmark((name + "/ours").c_str(), [=](benchmark::State& st) {
        Bytes out(compressBound(uLong(rows->size())));
        uLongf n = 0;
        for (auto _ : st) {
            n = out.size();
            compress(out.data(), &n, rows->data(), uLong(rows->size()));
        }
        st.counters["bytes_out"] = double(n);
        st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(rows->size()));
    });
    benchmark::RegisterBenchmark((name + "/peer").c_str(), [=](benchmark::State& st) {
        libdeflate_compressor* c = libdeflate_alloc_compressor(6);
        Bytes out(libdeflate_zlib_compress_bound(c, rows->size()));
        size_t n = 0;
        for (auto _ : st)
            n = libdeflate_zlib_compress(c, rows->data(), rows->size(), out.data(), out.size());
        libdeflate_free_compressor(c);
        // The candidate's stream must inflate to the same bytes with zlib.
        Bytes back(rows->size());
        uLongf back_len = back.size();
        if (uncompress(back.data(), &back_len, out.data(), uLong(n)) != Z_OK || back != *rows)
            st.SkipWithError("libdeflate stream does not inflate back");
        st.counters["bytes_out"] = double(n);
        st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(rows->size()));
    });
}

}  // namespace

int main(int argc, char** argv)
{
    charset_init();
    for (auto look : {bench::Look::photo, bench::Look::flat}) {
        for (uint32_t side : {256u, 1024u, 2048u})
            register_png(look, side);
        for (uint32_t side : {512u, 2048u})
            register_jpeg(look, side);
        for (uint32_t side : {1024u})
            register_deflate(look, side);
    }
    register_gbk(true);
    register_gbk(false);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
