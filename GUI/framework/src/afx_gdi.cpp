// GDI wrappers: objects (fonts, bitmaps, regions) and device contexts.
// User-interface thread (GDI objects are not shared between threads here).
#include "afxwin.h"

BOOL CGdiObject::Attach(HGDIOBJ obj) {
    if (m_hObject != nullptr || obj == nullptr) return FALSE;
    m_hObject = obj;
    return TRUE;
}

HGDIOBJ CGdiObject::Detach() {
    HGDIOBJ obj = m_hObject;
    m_hObject = nullptr;
    return obj;
}

BOOL CGdiObject::DeleteObject() {
    if (m_hObject == nullptr) return FALSE;
    BOOL ok = ::DeleteObject(m_hObject);
    m_hObject = nullptr;
    return ok;
}

int CGdiObject::GetObject(int size, void *out) const {
    if (m_hObject == nullptr) return 0;
    return ::GetObjectA(m_hObject, size, out);
}

BOOL CFont::CreatePointFont(int point_size, LPCSTR face, CDC *dc) {
    if (m_hObject != nullptr) return FALSE;
    HDC hdc = dc != nullptr ? dc->m_hDC : ::GetDC(nullptr);
    LOGFONTA lf{};
    // Tenths of a point to pixels of the context: 72 points per inch.
    lf.lfHeight = -::MulDiv(point_size, ::GetDeviceCaps(hdc, LOGPIXELSY), 720);
    lf.lfCharSet = DEFAULT_CHARSET;
    if (face != nullptr) ::lstrcpynA(lf.lfFaceName, face, LF_FACESIZE);
    if (dc == nullptr) ::ReleaseDC(nullptr, hdc);
    return Attach(::CreateFontIndirectA(&lf));
}

BOOL CBitmap::LoadBitmap(UINT id) {
    if (m_hObject != nullptr) return FALSE;
    return Attach(::LoadBitmapA(AfxGetResourceHandle(), MAKEINTRESOURCEA(id)));
}

BOOL CRgn::CreateRectRgn(int l, int t, int r, int b) {
    if (m_hObject != nullptr) return FALSE;
    return Attach(::CreateRectRgn(l, t, r, b));
}

int CRgn::CombineRgn(const CRgn *src1, const CRgn *src2, int mode) {
    return ::CombineRgn(static_cast<HRGN>(m_hObject), static_cast<HRGN>(src1->m_hObject),
                        src2 != nullptr ? static_cast<HRGN>(src2->m_hObject) : nullptr, mode);
}

CDC::~CDC() { DeleteDC(); }

BOOL CDC::Attach(HDC dc) {
    if (m_hDC != nullptr || dc == nullptr) return FALSE;
    m_hDC = dc;
    owned_ = false;
    return TRUE;
}

HDC CDC::Detach() {
    HDC dc = m_hDC;
    m_hDC = nullptr;
    owned_ = false;
    return dc;
}

BOOL CDC::CreateCompatibleDC(CDC *dc) {
    if (m_hDC != nullptr) return FALSE;
    m_hDC = ::CreateCompatibleDC(dc != nullptr ? dc->m_hDC : nullptr);
    owned_ = m_hDC != nullptr;
    return owned_;
}

BOOL CDC::DeleteDC() {
    if (m_hDC == nullptr || !owned_) return FALSE;
    BOOL ok = ::DeleteDC(m_hDC);
    m_hDC = nullptr;
    owned_ = false;
    return ok;
}

HGDIOBJ CDC::SelectObject(CGdiObject *obj) {
    return ::SelectObject(m_hDC, obj != nullptr ? obj->m_hObject : nullptr);
}

HGDIOBJ CDC::SelectObject(HGDIOBJ obj) { return ::SelectObject(m_hDC, obj); }

BOOL CDC::BitBlt(int x, int y, int w, int h, CDC *src, int xs, int ys, DWORD rop) {
    return ::BitBlt(m_hDC, x, y, w, h, src != nullptr ? src->m_hDC : nullptr, xs, ys, rop);
}

int CDC::SetBkMode(int mode) { return ::SetBkMode(m_hDC, mode); }

COLORREF CDC::SetTextColor(COLORREF color) { return ::SetTextColor(m_hDC, color); }

int CDC::GetDeviceCaps(int index) const { return ::GetDeviceCaps(m_hDC, index); }

CPaintDC::CPaintDC(CWnd *wnd) : hwnd_(wnd->m_hWnd) { Attach(::BeginPaint(hwnd_, &m_ps)); }

CPaintDC::~CPaintDC() {
    Detach();
    ::EndPaint(hwnd_, &m_ps);
}
