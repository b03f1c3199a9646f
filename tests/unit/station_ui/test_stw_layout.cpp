// The station window's layout arithmetic: controls that follow a resized
// window, how many tiles fit and at which size, and a tile's text in the
// lines it has room for.
#include <gtest/gtest.h>

#include "stw_layout.h"

namespace {

std::string shown(const StwRect &r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) +
           "," + std::to_string(r.bottom);
}

}  // namespace

TEST(StwLayout, ControlsFollowTheWindow) {
    const StwRect box{10, 20, 110, 40};
    const struct {
        StwAnchor a;
        int dw, dh;
        const char *want;
    } cases[] = {
        {{0, 0, 0, 0}, 300, 200, "10,20,110,40"},        // stays
        {{0, 0, 1, 0}, 300, 200, "10,20,410,40"},        // grows to the right
        {{1, 1, 1, 1}, 300, 200, "310,220,410,240"},     // follows the bottom right corner
        {{0, 0, 1, 1}, 300, 200, "10,20,410,240"},       // fills
        {{2 / 6.0, 0, 3 / 6.0, 0}, 600, 0, "210,20,410,40"},  // the third of six columns
        {{0, 0, 1, 1}, -200, -50, "10,20,10,20"},        // never turned inside out
    };
    for (const auto &c : cases) {
        EXPECT_EQ(shown(stw_anchored(box, c.a, c.dw, c.dh)), c.want)
            << c.a.left << " " << c.a.top << " " << c.a.right << " " << c.a.bottom;
    }
}

TEST(StwLayout, TheLargestTileSizeAtWhichEveryTileFits) {
    // Three font sizes; a gap of 5 around and between tiles.
    const std::vector<StwTileSize> sizes = {{240, 120}, {210, 100}, {180, 80}};
    const struct {
        int width, height;
        std::size_t tiles;
        std::size_t size;
        int columns, rows, tile_w;
        bool scrolls;
    } cases[] = {
        // 1000 wide: 4 columns of 240 (stretched to 243), 4 rows of 120 need 505
        {1000, 505, 16, 0, 4, 4, 243, false},
        // a pixel less: 210 gives 4 columns, 4 rows of 100 need 425
        {1000, 504, 16, 1, 4, 4, 243, false},
        // smaller still: 5 columns of 180, 4 rows of 80 need 345
        {1000, 345, 17, 2, 5, 4, 194, false},
        // nothing fits: the smallest size, scrolling
        {1000, 200, 17, 2, 5, 4, 194, true},
        // narrower than one tile: one column, the tile's own width
        {100, 2000, 3, 0, 1, 3, 240, false},
        {1000, 100, 0, 0, 4, 0, 243, false},  // no tile
    };
    for (const auto &c : cases) {
        const StwGridFit f = stw_grid_fit(c.width, c.height, 5, c.tiles, sizes);
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + ", " +
                     std::to_string(c.tiles) + " tiles");
        EXPECT_EQ(f.size, c.size);
        EXPECT_EQ(f.columns, c.columns);
        EXPECT_EQ(f.rows, c.rows);
        EXPECT_EQ(f.tile_w, c.tile_w);
        EXPECT_EQ(f.tile_h, sizes[c.size].h);
        EXPECT_EQ(f.total_h, 5 + c.rows * (sizes[c.size].h + 5));
        EXPECT_EQ(f.scrolls, c.scrolls);
    }
}

TEST(StwLayout, ATextInTheLinesItHasRoomFor) {
    // Ten characters to a line (bytes that begin a character count).
    const auto fits = [](const std::string &s) {
        std::size_t n = 0;
        for (unsigned char c : s) n += (c & 0xC0u) != 0x80u;
        return n <= 10;
    };
    using V = std::vector<std::string>;
    const struct {
        const char *text;
        std::size_t lines;
        V want;
    } cases[] = {
        {"failed", 2, {"failed"}},
        {"failed: no answer", 2, {"failed: no", "answer"}},
        {"  failed:   no answer  ", 3, {"failed: no", "answer"}},
        {"failed: block at 0x5400 refused", 2, {"failed:", "block a..."}},
        {"failed: block at 0x5400 refused", 3, {"failed:", "block at", "0x5400..."}},
        {"failed: block at 0x5400 refused", 1, {"failed:..."}},
        // a word wider than a line is cut, never inside a character
        {"0123456789abcdef", 2, {"0123456789", "abcdef"}},
        {"\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4",
         2, {"\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4",
             "\xc3\xa4"}},
        {"", 2, {}},
        {"anything", 0, {}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(stw_wrap(c.text, c.lines, fits), c.want) << c.text << " in " << c.lines;
    }
}
