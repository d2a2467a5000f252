#include "cli/progress.h"

#include <cstdio>
#include <string>
#include <utility>

#include "support/debug.h"

namespace {

// A run shorter than this is over before a bar would help.
constexpr std::chrono::milliseconds kFirstDraw{500};
constexpr std::chrono::milliseconds kRedraw{100};
constexpr size_t kBarCells = 20;

void erase_bar(void* bar) { static_cast<ProgressBar*>(bar)->erase(); }

std::string bar_text(size_t done, size_t total, uint32_t bitmaps, long long seconds)
{
    const size_t filled = total == 0 ? kBarCells : done * kBarCells / total;
    char cells[kBarCells + 1];
    for (size_t i = 0; i < kBarCells; ++i)
        cells[i] = i < filled ? '#' : '-';
    cells[kBarCells] = '\0';
    char text[128];
    std::snprintf(text, sizeof text, "[%s] %zu/%zu movies, %u bitmaps, %lld:%02lld", cells, done, total, bitmaps,
                  seconds / 60, seconds % 60);
    return text;
}

}  // namespace

ProgressBar::ProgressBar(bool enabled, bool shares_terminal, size_t total_movies, std::FILE* screen, Now now)
    : enabled_(enabled), shares_terminal_(shares_terminal), total_(total_movies), screen_(screen), now_(std::move(now)),
      start_(now_())
{
}

ProgressBar::~ProgressBar() { erase(); }

void ProgressBar::update(size_t movies_done, uint32_t bitmaps_written)
{
    const Clock::time_point now = now_();
    if (!enabled_ || now - start_ < kFirstDraw || now - last_draw_ < kRedraw)
        return;
    last_draw_ = now;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - start_).count();
    const std::string text = bar_text(movies_done, total_, bitmaps_written, static_cast<long long>(seconds));
    // Blanks cover what a longer earlier bar left behind.
    const size_t blanks = drawn_width_ > text.size() ? drawn_width_ - text.size() : 0;
    std::fflush(stdout);
    std::fprintf(screen_, "\r%s%s", text.c_str(), std::string(blanks, ' ').c_str());
    std::fflush(screen_);
    drawn_width_ = text.size() + blanks;
    if (shares_terminal_)
        debug_set_before_output(erase_bar, this);
}

void ProgressBar::erase()
{
    if (drawn_width_ == 0)
        return;
    std::fprintf(screen_, "\r%s\r", std::string(drawn_width_, ' ').c_str());
    std::fflush(screen_);
    drawn_width_ = 0;
    if (shares_terminal_)
        debug_set_before_output(nullptr, nullptr);
}
