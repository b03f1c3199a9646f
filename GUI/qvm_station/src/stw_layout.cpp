#include "stw_layout.h"

#include <algorithm>
#include <cmath>

StwRect stw_anchored(const StwRect &designed, const StwAnchor &a, int dw, int dh) {
    const auto move = [](int v, double share, int by) {
        return v + static_cast<int>(std::lround(share * by));
    };
    StwRect r;
    r.left = move(designed.left, a.left, dw);
    r.top = move(designed.top, a.top, dh);
    r.right = std::max(r.left, move(designed.right, a.right, dw));
    r.bottom = std::max(r.top, move(designed.bottom, a.bottom, dh));
    return r;
}

StwGridFit stw_grid_fit(int width, int height, int gap, std::size_t tiles,
                        const std::vector<StwTileSize> &sizes) {
    StwGridFit fit;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const StwTileSize &s = sizes[i];
        const int step = std::max(1, s.w + gap);
        fit.size = i;
        fit.columns = std::max(1, (width - gap) / step);
        fit.rows = static_cast<int>((tiles + static_cast<std::size_t>(fit.columns) - 1) /
                                    static_cast<std::size_t>(fit.columns));
        fit.tile_h = s.h;
        fit.tile_w = std::max(s.w, (width - gap * (fit.columns + 1)) / fit.columns);
        fit.total_h = gap + fit.rows * (s.h + gap);
        fit.scrolls = fit.total_h > height;
        if (!fit.scrolls) break;
    }
    return fit;
}

namespace {

// Byte offsets in s where a character begins, and s.size().
std::vector<std::size_t> char_starts(const std::string &s) {
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0u) != 0x80u) at.push_back(i);
    }
    at.push_back(s.size());
    return at;
}

// The longest start of s (whole characters, at least one when s is not
// empty) that fits with suffix after it.
std::string longest_fit(const std::string &s, const std::string &suffix,
                        const std::function<bool(const std::string &)> &fits) {
    const std::vector<std::size_t> at = char_starts(s);
    std::size_t lo = at.size() > 1 ? 1 : 0, hi = at.size() - 1;  // counts of characters
    if (!fits(s.substr(0, at[lo]) + suffix)) return s.substr(0, at[lo]) + suffix;
    while (lo < hi) {
        const std::size_t mid = (lo + hi + 1) / 2;
        if (fits(s.substr(0, at[mid]) + suffix)) {
            lo = mid;
        } else {
            hi = mid - 1;
        }
    }
    return s.substr(0, at[lo]) + suffix;
}

std::size_t skip_blanks(const std::string &s, std::size_t i) {
    while (i < s.size() && s[i] == ' ') ++i;
    return i;
}

}  // namespace

std::vector<std::string> stw_wrap(const std::string &text, std::size_t max_lines,
                                  const std::function<bool(const std::string &)> &fits) {
    std::vector<std::string> lines;
    std::size_t i = skip_blanks(text, 0);
    while (i < text.size() && lines.size() < max_lines) {
        const std::size_t from = i;
        std::string line;
        while (i < text.size()) {
            const std::size_t end = std::min(text.find(' ', i), text.size());
            const std::string word = text.substr(i, end - i);
            const std::string longer = line.empty() ? word : line + " " + word;
            if (fits(longer)) {
                line = longer;
                i = skip_blanks(text, end);
                continue;
            }
            if (line.empty()) {  // a word wider than the line: cut it
                line = longest_fit(word, "", fits);
                i += line.size();
            }
            break;
        }
        if (lines.size() + 1 == max_lines && i < text.size()) {
            // The last line there is room for: as much of the rest as fits.
            std::string rest = text.substr(from);
            while (!rest.empty() && rest.back() == ' ') rest.pop_back();
            std::string cut = longest_fit(rest, "...", fits);
            // Not "word ...": the blank before the dots goes.
            const std::size_t dots = cut.size() - 3;
            std::size_t keep = dots;
            while (keep > 0 && cut[keep - 1] == ' ') --keep;
            lines.push_back(cut.substr(0, keep) + "...");
            return lines;
        }
        lines.push_back(line);
    }
    return lines;
}
