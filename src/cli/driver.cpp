#include "cli/driver.h"

#include <cstdio>

#include "codec/jpeg_decoder.h"
#include "codec/png.h"
#include "platform/platform.h"
#include "support/debug.h"
#include "swf/extract.h"
#include "swf/res_folder.h"
#include "swf/swf.h"

namespace {

// Four lines: tool name (extract the pictures in a swf), usage, "or drag several swf files
// onto the icon", then the credit line.
constexpr const char kUsage[] =
    "工具名称：提取swf中的图片\n"
    "使用说明：pixsieve.exe a.swf b.swf c.swf\n"
    "(或可直接拖动多个swf到图标上)\n"
    "---by pixsieve(https://pixsieve.invalid)";

}  // namespace

void app_init()
{
    png_init(nullptr, nullptr);
    jpeg_decoder_reset();
}

bool process_file(const char* path)
{
    SwfPtr swf(swf_readfile(path));
    if (!swf)
        return false;
    std::string folder;
    if (!make_res_dir(swf->path.c_str(), folder))
        return true;  // the movie was read; its images have nowhere to go
    swf_extract(swf.get(), folder, 1);
    return true;
}

int pixsieve_main(int argc, char** argv)
{
    app_init();
    if (argc < 2) {
        console_line(kUsage);
        std::fflush(stdout);
        platform_pause();
        return 0;
    }
    bool all_read = true;
    for (int i = 1; i < argc; ++i) {
        if (!process_file(argv[i]))
            all_read = false;
        std::fflush(stdout);
    }
    return all_read ? 0 : 1;
}
