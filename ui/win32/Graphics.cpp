// The page's picture, drawn with GDI+, and the face chosen for the status texts.
#include "ui/win32/Graphics.h"

// GDI+ needs IStream and PROPID, which the lean windows.h leaves out.
#include <objidl.h>
#include <shlwapi.h>
// After objidl.h.
#include <gdiplus.h>

#include <algorithm>
#include <vector>

namespace win32ui {

namespace {

namespace gp = Gdiplus::DllExports;

// GDI+ for as long as a picture is made.
class CGdiPlus {
public:
    CGdiPlus() {
        Gdiplus::GdiplusStartupInput input;
        m_bOk = Gdiplus::GdiplusStartup(&m_token, &input, nullptr) == Gdiplus::Ok;
    }
    ~CGdiPlus() {
        if (m_bOk) Gdiplus::GdiplusShutdown(m_token);
    }
    bool Ok() const { return m_bOk; }

private:
    ULONG_PTR m_token = 0;
    bool m_bOk = false;
};

// Decodes the PNG of an RCDATA resource.
Gdiplus::GpBitmap* DecodeResource(int id) {
    HRSRC res = ::FindResourceW(Instance(), MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10));
    if (res == nullptr) return nullptr;
    HGLOBAL data = ::LoadResource(Instance(), res);
    DWORD size = ::SizeofResource(Instance(), res);
    const void* bytes = data != nullptr ? ::LockResource(data) : nullptr;
    if (bytes == nullptr || size == 0) return nullptr;
    IStream* stream = ::SHCreateMemStream(static_cast<const BYTE*>(bytes), size);
    if (stream == nullptr) return nullptr;
    Gdiplus::GpBitmap* bitmap = nullptr;
    if (gp::GdipCreateBitmapFromStream(stream, &bitmap) != Gdiplus::Ok) bitmap = nullptr;
    stream->Release();
    return bitmap;
}

}  // namespace

HBITMAP LoadPicture(int id, int width, int height) {
    if (width <= 0 || height <= 0) return nullptr;
    CGdiPlus gdiplus;
    if (!gdiplus.Ok()) return nullptr;
    Gdiplus::GpBitmap* image = DecodeResource(id);
    if (image == nullptr) return nullptr;
    UINT iw = 0, ih = 0;
    gp::GdipGetImageWidth(image, &iw);
    gp::GdipGetImageHeight(image, &ih);

    // 24 bits: the static control would take a 32-bit bitmap's empty alpha for transparency.
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP dib = ::CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC dc = dib != nullptr ? ::CreateCompatibleDC(nullptr) : nullptr;
    bool drawn = false;
    if (dc != nullptr && iw > 0 && ih > 0) {
        HGDIOBJ old = ::SelectObject(dc, dib);
        Gdiplus::GpGraphics* g = nullptr;
        if (gp::GdipCreateFromHDC(dc, &g) == Gdiplus::Ok) {
            gp::GdipSetInterpolationMode(g, Gdiplus::InterpolationModeHighQualityBicubic);
            gp::GdipSetPixelOffsetMode(g, Gdiplus::PixelOffsetModeHighQuality);
            // The part of the image with the control's proportions, centred.
            double scale =
                std::max(static_cast<double>(width) / iw, static_cast<double>(height) / ih);
            double sw = width / scale, sh = height / scale;
            drawn = gp::GdipDrawImageRectRect(
                        g, image, 0, 0, static_cast<float>(width), static_cast<float>(height),
                        static_cast<float>((iw - sw) / 2), static_cast<float>((ih - sh) / 2),
                        static_cast<float>(sw), static_cast<float>(sh), Gdiplus::UnitPixel, nullptr,
                        nullptr, nullptr) == Gdiplus::Ok;
            gp::GdipDeleteGraphics(g);
        }
        ::SelectObject(dc, old);
    }
    if (dc != nullptr) ::DeleteDC(dc);
    gp::GdipDisposeImage(image);
    if (!drawn && dib != nullptr) {
        ::DeleteObject(dib);
        dib = nullptr;
    }
    return dib;
}

bool FontCovers(HFONT font, const std::wstring& text) {
    HDC dc = ::CreateCompatibleDC(nullptr);
    if (dc == nullptr) return false;
    HGDIOBJ old = ::SelectObject(dc, font);
    std::vector<WORD> glyphs(text.size());
    DWORD n = ::GetGlyphIndicesW(dc, text.c_str(), static_cast<int>(text.size()), glyphs.data(),
                                 GGI_MARK_NONEXISTING_GLYPHS);
    ::SelectObject(dc, old);
    ::DeleteDC(dc);
    if (n == GDI_ERROR) return false;
    for (WORD g : glyphs)
        if (g == 0xFFFF) return false;
    return true;
}

namespace {

// The face the system gave a font, which is another one when the face asked for is missing.
std::wstring FaceOf(HFONT font) {
    HDC dc = ::CreateCompatibleDC(nullptr);
    if (dc == nullptr) return std::wstring();
    HGDIOBJ old = ::SelectObject(dc, font);
    wchar_t face[LF_FACESIZE] = {};
    int n = ::GetTextFaceW(dc, LF_FACESIZE, face);
    ::SelectObject(dc, old);
    ::DeleteDC(dc);
    return std::wstring(face, n > 0 ? static_cast<size_t>(n - 1) : 0);
}

}  // namespace

HFONT ChooseFontFor(HFONT base, const std::wstring& sample) {
    if (base == nullptr) base = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
    LOGFONTW lf = {};
    if (::GetObjectW(base, sizeof(lf), &lf) == 0) return nullptr;
    if (FontCovers(base, sample)) return nullptr;
    // Windows' own Chinese UI faces first, then those of other systems (wine).
    static const wchar_t* const kFaces[] = {
        L"Microsoft YaHei UI",
        L"Microsoft YaHei",
        L"SimSun",
        L"NSimSun",
        L"WenQuanYi Micro Hei",
        L"Noto Sans CJK SC",
        L"Source Han Sans SC",
        L"Droid Sans Fallback",
    };
    for (const wchar_t* face : kFaces) {
        LOGFONTW want = lf;
        want.lfCharSet = DEFAULT_CHARSET;
        lstrcpynW(want.lfFaceName, face, LF_FACESIZE);
        HFONT font = ::CreateFontIndirectW(&want);
        if (font == nullptr) continue;
        if (lstrcmpiW(FaceOf(font).c_str(), face) == 0 && FontCovers(font, sample)) return font;
        ::DeleteObject(font);
    }
    return nullptr;
}

}  // namespace win32ui
