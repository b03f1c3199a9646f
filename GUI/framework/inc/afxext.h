// Extension controls of the thin framework. User-interface thread.
#pragma once

#include <afxwin.h>

// An owner-drawn push button painted from up to four bitmaps: normal,
// selected (pressed), focused and disabled. The parent reflects
// WM_DRAWITEM to it (CWnd does that for permanent children), so it must be
// attached (SubclassDlgItem) and have BS_OWNERDRAW. Owns its bitmaps.
class CBitmapButton : public CWnd {
public:
    // Loads the images from the application's resources; 0 skips one.
    // FALSE when the normal image does not load.
    BOOL LoadBitmaps(UINT normal, UINT selected = 0, UINT focus = 0, UINT disabled = 0);
    // Sizes the button to the normal image (position kept).
    void SizeToContent();
    // Draws the image for the item state: selected, else focused, else
    // disabled, else normal (a missing image falls back to the normal one).
    virtual void DrawItem(LPDRAWITEMSTRUCT dis);

    CBitmap m_bitmap;
    CBitmap m_bitmapSel;
    CBitmap m_bitmapFocus;
    CBitmap m_bitmapDisabled;

protected:
    BOOL OnChildNotify(UINT msg, WPARAM wp, LPARAM lp, LRESULT *result) override;
};
