// The arithmetic of the station window's layout, apart from any window so
// that it is tested natively: where a control goes when the window is
// resized, how many tiles fit and at which size, and a tile's text broken
// into the lines it has room for. Pure; any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

struct StwRect {
    int left = 0, top = 0, right = 0, bottom = 0;
};

// How a control follows the window: each edge moves by that share of the
// growth of the client area (0 stays, 1 follows the right or bottom edge,
// i/n keeps a place among n columns).
struct StwAnchor {
    double left = 0, top = 0, right = 0, bottom = 0;
};

// designed: the control in the designed client area; dw, dh: how much
// wider and taller the client area is now.
StwRect stw_anchored(const StwRect &designed, const StwAnchor &a, int dw, int dh);

// A tile's smallest size at one font size.
struct StwTileSize {
    int w = 0, h = 0;
};

// How the grid shows its tiles.
struct StwGridFit {
    std::size_t size = 0;  // the index in sizes of the font size chosen
    int columns = 1, rows = 0;
    int tile_w = 0, tile_h = 0;  // tile_w stretched to fill the width
    int total_h = 0;             // the height of every row with its gaps
    bool scrolls = false;        // not every tile is in view
};

// The largest of sizes (largest first, none empty) at which `tiles` tiles
// fit a width x height area with `gap` around and between them; the
// smallest, scrolling, when none does. As many columns as fit.
StwGridFit stw_grid_fit(int width, int height, int gap, std::size_t tiles,
                        const std::vector<StwTileSize> &sizes);

// text broken at blanks into at most max_lines lines that fits() takes (a
// word too long for a line is cut); when text needs more, the last line
// ends in "..." instead. UTF-8 sequences are never cut.
std::vector<std::string> stw_wrap(const std::string &text, std::size_t max_lines,
                                  const std::function<bool(const std::string &)> &fits);
