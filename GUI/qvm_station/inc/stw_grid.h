// The tile grid: one child window per device index in use, ordered by
// index, as many columns as fit. When the tiles do not all fit, they are
// drawn smaller (the fonts down to 7 points) before the grid scrolls; a
// failure's reason is wrapped into the lines the tile has and cut with
// "..." after them (stw_layout.h). Each tile paints its lines in its
// state's colours and carries its one-line text as window text (what
// screen readers and tests read). In a high-contrast theme every colour is
// a system colour.
//
// Threads: the dialog thread only (it owns the windows).
#pragma once

#include <afxwin.h>

#include <map>
#include <memory>
#include <vector>

#include "stn_engine.h"
#include "stw_layout.h"

// Whether a high-contrast theme is on: then only system colours are used.
bool stw_high_contrast();

class StwGrid : public CWnd {
public:
    StwGrid();
    ~StwGrid() override;

    // Creates the grid in place of the (hidden) placeholder control `id` of
    // parent, taking its rectangle and id. FALSE when it cannot.
    BOOL CreateInPlaceOf(CWnd *parent, int id);
    // Shows these tiles (ascending index): new ones are created, gone ones
    // removed, changed ones repainted.
    void Update(const std::vector<StnTile> &tiles, std::uint32_t image_version);
    // The colours or the font may have changed (theme, high contrast).
    void SettingsChanged();

    class Tile;

protected:
    LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp) override;

private:
    // The tiles' fonts at one size, and a tile's smallest size with them.
    struct Fonts {
        HFONT font = nullptr, bold = nullptr;
        int line_h = 0, bold_h = 0, avg_w = 0;
        StwTileSize tile;
    };

    void Layout();
    void ScrollTo(int pos);
    // The scroll bar's request (WM_VSCROLL's wp).
    void OnVScroll(WPARAM wp);
    void MakeFonts();
    void FreeFonts();
    const Fonts &Current() const { return sizes_[size_]; }

    std::map<unsigned, std::unique_ptr<Tile>> tiles_;
    int scroll_ = 0;      // pixels scrolled down
    int tile_w_ = 0, tile_h_ = 0, gap_ = 0, columns_ = 1, total_h_ = 0;
    std::vector<Fonts> sizes_;  // largest first; never empty once created
    std::size_t size_ = 0;      // the one in use
};
