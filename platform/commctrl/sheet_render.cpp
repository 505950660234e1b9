// The sheet as a picture: a 24-bit PNG of the screen with the title band,
// the page's rows and checkbox at their positions and the menu bar, drawn
// with a built-in 5 by 7 pixel font at twice its size.
#include "kx_sheet_test.h"
#include "kx_platform_ext.h"

#include <png.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include <commctrl.h>

namespace {

// Glyphs 0x20 to 0x7E, five columns each, bit 0 the top row.
const uint8_t kFont[95][5] = {
    {0x00, 0x00, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x5F, 0x00, 0x00}, {0x00, 0x07, 0x00, 0x07, 0x00},
    {0x14, 0x7F, 0x14, 0x7F, 0x14}, {0x24, 0x2A, 0x7F, 0x2A, 0x12}, {0x23, 0x13, 0x08, 0x64, 0x62},
    {0x36, 0x49, 0x56, 0x20, 0x50}, {0x00, 0x05, 0x03, 0x00, 0x00}, {0x00, 0x1C, 0x22, 0x41, 0x00},
    {0x00, 0x41, 0x22, 0x1C, 0x00}, {0x14, 0x08, 0x3E, 0x08, 0x14}, {0x08, 0x08, 0x3E, 0x08, 0x08},
    {0x00, 0x50, 0x30, 0x00, 0x00}, {0x08, 0x08, 0x08, 0x08, 0x08}, {0x00, 0x60, 0x60, 0x00, 0x00},
    {0x20, 0x10, 0x08, 0x04, 0x02}, {0x3E, 0x51, 0x49, 0x45, 0x3E}, {0x00, 0x42, 0x7F, 0x40, 0x00},
    {0x42, 0x61, 0x51, 0x49, 0x46}, {0x21, 0x41, 0x45, 0x4B, 0x31}, {0x18, 0x14, 0x12, 0x7F, 0x10},
    {0x27, 0x45, 0x45, 0x45, 0x39}, {0x3C, 0x4A, 0x49, 0x49, 0x30}, {0x01, 0x71, 0x09, 0x05, 0x03},
    {0x36, 0x49, 0x49, 0x49, 0x36}, {0x06, 0x49, 0x49, 0x29, 0x1E}, {0x00, 0x36, 0x36, 0x00, 0x00},
    {0x00, 0x56, 0x36, 0x00, 0x00}, {0x08, 0x14, 0x22, 0x41, 0x00}, {0x14, 0x14, 0x14, 0x14, 0x14},
    {0x00, 0x41, 0x22, 0x14, 0x08}, {0x02, 0x01, 0x51, 0x09, 0x06}, {0x32, 0x49, 0x79, 0x41, 0x3E},
    {0x7E, 0x11, 0x11, 0x11, 0x7E}, {0x7F, 0x49, 0x49, 0x49, 0x36}, {0x3E, 0x41, 0x41, 0x41, 0x22},
    {0x7F, 0x41, 0x41, 0x22, 0x1C}, {0x7F, 0x49, 0x49, 0x49, 0x41}, {0x7F, 0x09, 0x09, 0x09, 0x01},
    {0x3E, 0x41, 0x49, 0x49, 0x7A}, {0x7F, 0x08, 0x08, 0x08, 0x7F}, {0x00, 0x41, 0x7F, 0x41, 0x00},
    {0x20, 0x40, 0x41, 0x3F, 0x01}, {0x7F, 0x08, 0x14, 0x22, 0x41}, {0x7F, 0x40, 0x40, 0x40, 0x40},
    {0x7F, 0x02, 0x0C, 0x02, 0x7F}, {0x7F, 0x04, 0x08, 0x10, 0x7F}, {0x3E, 0x41, 0x41, 0x41, 0x3E},
    {0x7F, 0x09, 0x09, 0x09, 0x06}, {0x3E, 0x41, 0x51, 0x21, 0x5E}, {0x7F, 0x09, 0x19, 0x29, 0x46},
    {0x46, 0x49, 0x49, 0x49, 0x31}, {0x01, 0x01, 0x7F, 0x01, 0x01}, {0x3F, 0x40, 0x40, 0x40, 0x3F},
    {0x1F, 0x20, 0x40, 0x20, 0x1F}, {0x3F, 0x40, 0x38, 0x40, 0x3F}, {0x63, 0x14, 0x08, 0x14, 0x63},
    {0x07, 0x08, 0x70, 0x08, 0x07}, {0x61, 0x51, 0x49, 0x45, 0x43}, {0x00, 0x7F, 0x41, 0x41, 0x00},
    {0x02, 0x04, 0x08, 0x10, 0x20}, {0x00, 0x41, 0x41, 0x7F, 0x00}, {0x04, 0x02, 0x01, 0x02, 0x04},
    {0x40, 0x40, 0x40, 0x40, 0x40}, {0x00, 0x01, 0x02, 0x04, 0x00}, {0x20, 0x54, 0x54, 0x54, 0x78},
    {0x7F, 0x48, 0x44, 0x44, 0x38}, {0x38, 0x44, 0x44, 0x44, 0x20}, {0x38, 0x44, 0x44, 0x48, 0x7F},
    {0x38, 0x54, 0x54, 0x54, 0x18}, {0x08, 0x7E, 0x09, 0x01, 0x02}, {0x0C, 0x52, 0x52, 0x52, 0x3E},
    {0x7F, 0x08, 0x04, 0x04, 0x78}, {0x00, 0x44, 0x7D, 0x40, 0x00}, {0x20, 0x40, 0x44, 0x3D, 0x00},
    {0x7F, 0x10, 0x28, 0x44, 0x00}, {0x00, 0x41, 0x7F, 0x40, 0x00}, {0x7C, 0x04, 0x18, 0x04, 0x78},
    {0x7C, 0x08, 0x04, 0x04, 0x78}, {0x38, 0x44, 0x44, 0x44, 0x38}, {0x7C, 0x14, 0x14, 0x14, 0x08},
    {0x08, 0x14, 0x14, 0x18, 0x7C}, {0x7C, 0x08, 0x04, 0x04, 0x08}, {0x48, 0x54, 0x54, 0x54, 0x20},
    {0x04, 0x3F, 0x44, 0x40, 0x20}, {0x3C, 0x40, 0x40, 0x20, 0x7C}, {0x1C, 0x20, 0x40, 0x20, 0x1C},
    {0x3C, 0x40, 0x30, 0x40, 0x3C}, {0x44, 0x28, 0x10, 0x28, 0x44}, {0x0C, 0x50, 0x50, 0x50, 0x3C},
    {0x44, 0x64, 0x54, 0x4C, 0x44}, {0x00, 0x08, 0x36, 0x41, 0x00}, {0x00, 0x00, 0x7F, 0x00, 0x00},
    {0x00, 0x41, 0x36, 0x08, 0x00}, {0x08, 0x04, 0x08, 0x10, 0x08},
};

const int kScale = 2;
const int kAdvance = 6 * kScale;
const int kGlyphHeight = 7 * kScale;

struct Color {
    uint8_t r, g, b;
};

struct Canvas {
    int width, height;
    std::vector<uint8_t> pixels; // RGB rows

    Canvas(int w, int h) : width(w), height(h), pixels(size_t(w) * size_t(h) * 3, 0xFF) {}

    void Put(int x, int y, Color c, const RECT &clip) {
        if (x < clip.left || x >= clip.right || y < clip.top || y >= clip.bottom || x < 0 ||
            y < 0 || x >= width || y >= height)
            return;
        uint8_t *p = &pixels[(size_t(y) * size_t(width) + size_t(x)) * 3];
        p[0] = c.r;
        p[1] = c.g;
        p[2] = c.b;
    }

    void Fill(const RECT &r, Color c) {
        for (int y = r.top; y < r.bottom; ++y)
            for (int x = r.left; x < r.right; ++x)
                Put(x, y, c, r);
    }

    void Frame(const RECT &r, Color c) {
        for (int x = r.left; x < r.right; ++x) {
            Put(x, r.top, c, r);
            Put(x, r.bottom - 1, c, r);
        }
        for (int y = r.top; y < r.bottom; ++y) {
            Put(r.left, y, c, r);
            Put(r.right - 1, y, c, r);
        }
    }

    // Text from (x, y) (top-left of the first glyph), clipped to clip.
    void Text(int x, int y, const std::u16string &text, Color c, const RECT &clip) {
        for (char16_t ch : text) {
            int index = (ch >= 0x20 && ch <= 0x7E) ? ch - 0x20 : '?' - 0x20;
            for (int col = 0; col < 5; ++col)
                for (int row = 0; row < 7; ++row)
                    if (kFont[index][col] & (1 << row))
                        for (int dy = 0; dy < kScale; ++dy)
                            for (int dx = 0; dx < kScale; ++dx)
                                Put(x + col * kScale + dx, y + row * kScale + dy, c, clip);
            x += kAdvance;
            if (x >= clip.right)
                break;
        }
    }
};

std::u16string TextOf(HWND window) {
    WCHAR text[1024] = {};
    GetWindowTextW(window, text, 1024);
    return text;
}

// libpng reports failure by longjmp; nothing here changes after setjmp.
bool WritePng(FILE *out, const Canvas &canvas) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, out);
    png_set_IHDR(png, info, png_uint_32(canvas.width), png_uint_32(canvas.height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < canvas.height; ++y)
        png_write_row(png, &canvas.pixels[size_t(y) * size_t(canvas.width) * 3]);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

const Color kBlack{0, 0, 0}, kWhite{255, 255, 255}, kNavy{0, 40, 120}, kGrey{200, 200, 200};

// A screen rectangle in the picture's coordinates (the sheet's top-left at 0, 0).
RECT InSheet(const RECT &r, const RECT &sheetRect) {
    return RECT{r.left - sheetRect.left, r.top - sheetRect.top, r.right - sheetRect.left,
                r.bottom - sheetRect.top};
}

// The navy band above the page with the sheet's title.
void DrawTitleBand(Canvas &canvas, HWND sheet, HWND page, const RECT &sheetRect) {
    RECT pageRect{};
    GetWindowRect(page, &pageRect);
    RECT band{0, 0, canvas.width, pageRect.top - sheetRect.top};
    canvas.Fill(band, kNavy);
    canvas.Text(8, (band.bottom - kGlyphHeight) / 2, TextOf(sheet), kWhite, band);
}

// A checkbox at the left of r, ticked when checked, its text after it.
void DrawCheckbox(Canvas &canvas, HWND button, const RECT &r, int textY) {
    const int box = 16;
    RECT b{r.left + 2, r.top + (r.bottom - r.top - box) / 2, 0, 0};
    b.right = b.left + box;
    b.bottom = b.top + box;
    canvas.Frame(b, kBlack);
    if (SendMessageW(button, BM_GETCHECK, 0, 0) == BST_CHECKED) {
        for (int i = 3; i < box - 3; ++i) {
            canvas.Put(b.left + i, b.top + i, kBlack, b);
            canvas.Put(b.left + i + 1, b.top + i, kBlack, b);
            canvas.Put(b.right - 1 - i, b.top + i, kBlack, b);
            canvas.Put(b.right - 2 - i, b.top + i, kBlack, b);
        }
    }
    canvas.Text(b.right + 8, textY, TextOf(button), kBlack, r);
}

// The page's visible controls at their positions: buttons as checkboxes,
// anything else as its text.
void DrawControls(Canvas &canvas, HWND page, const RECT &sheetRect) {
    for (HWND c = GetWindow(page, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        if (!IsWindowVisible(c))
            continue;
        RECT screen;
        GetWindowRect(c, &screen);
        RECT r = InSheet(screen, sheetRect);
        WCHAR cls[32] = {};
        GetClassNameW(c, cls, 32);
        int textY = r.top + (r.bottom - r.top - kGlyphHeight) / 2;
        if (std::u16string(cls) == u"BUTTON")
            DrawCheckbox(canvas, c, r, textY);
        else
            canvas.Text(r.left + 2, textY, TextOf(c), kBlack, r);
    }
}

// The menu bar, if the page has a visible one.
void DrawMenuBar(Canvas &canvas, HWND page, const RECT &sheetRect) {
    HWND bar = KxFindOwnedWindow(page, u"menu_worker");
    RECT r;
    if (!bar || !IsWindowVisible(bar) || !GetWindowRect(bar, &r))
        return;
    RECT b = InSheet(r, sheetRect);
    canvas.Fill(b, kGrey);
    canvas.Text(b.left + 8, b.top + (b.bottom - b.top - kGlyphHeight) / 2, TextOf(bar), kBlack, b);
}

} // namespace

namespace kxtest {

bool RenderSheetPng(HWND sheet, HWND page, const std::string &path) {
    RECT sheetRect;
    if (!GetWindowRect(sheet, &sheetRect))
        return false;
    Canvas canvas(sheetRect.right - sheetRect.left, sheetRect.bottom - sheetRect.top);
    DrawTitleBand(canvas, sheet, page, sheetRect);
    DrawControls(canvas, page, sheetRect);
    DrawMenuBar(canvas, page, sheetRect);

    FILE *out = fopen(path.c_str(), "wb");
    if (!out)
        return false;
    bool written = WritePng(out, canvas);
    return fclose(out) == 0 && written;
}

} // namespace kxtest
