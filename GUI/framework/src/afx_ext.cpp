// Bitmap buttons. User-interface thread.
#include "afxext.h"

BOOL CBitmapButton::LoadBitmaps(UINT normal, UINT selected, UINT focus, UINT disabled) {
    m_bitmap.DeleteObject();
    m_bitmapSel.DeleteObject();
    m_bitmapFocus.DeleteObject();
    m_bitmapDisabled.DeleteObject();
    if (!m_bitmap.LoadBitmap(normal)) return FALSE;
    if (selected != 0) m_bitmapSel.LoadBitmap(selected);
    if (focus != 0) m_bitmapFocus.LoadBitmap(focus);
    if (disabled != 0) m_bitmapDisabled.LoadBitmap(disabled);
    return TRUE;
}

void CBitmapButton::SizeToContent() {
    BITMAP bm{};
    if (m_bitmap.GetBitmap(&bm) == 0) return;
    ::SetWindowPos(m_hWnd, nullptr, 0, 0, bm.bmWidth, bm.bmHeight,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CBitmapButton::DrawItem(LPDRAWITEMSTRUCT dis) {
    const CBitmap *image = &m_bitmap;
    if ((dis->itemState & ODS_SELECTED) && m_bitmapSel.m_hObject != nullptr)
        image = &m_bitmapSel;
    else if ((dis->itemState & ODS_FOCUS) && m_bitmapFocus.m_hObject != nullptr)
        image = &m_bitmapFocus;
    else if ((dis->itemState & ODS_DISABLED) && m_bitmapDisabled.m_hObject != nullptr)
        image = &m_bitmapDisabled;
    if (image->m_hObject == nullptr) return;
    HDC mem = ::CreateCompatibleDC(dis->hDC);
    if (mem == nullptr) return;
    HGDIOBJ old = ::SelectObject(mem, image->m_hObject);
    const RECT &r = dis->rcItem;
    ::BitBlt(dis->hDC, r.left, r.top, r.right - r.left, r.bottom - r.top, mem, 0, 0, SRCCOPY);
    ::SelectObject(mem, old);
    ::DeleteDC(mem);
}

BOOL CBitmapButton::OnChildNotify(UINT msg, WPARAM, LPARAM lp, LRESULT *result) {
    if (msg != WM_DRAWITEM) return FALSE;
    DrawItem(reinterpret_cast<LPDRAWITEMSTRUCT>(lp));
    *result = TRUE;
    return TRUE;
}
