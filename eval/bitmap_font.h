// A tiny 5 x 7 bitmap font for the labels of montages: printable ASCII,
// each glyph in a 6 x 8 cell (one column and one row of spacing).
#pragma once

#include <string>

namespace toolkit {

struct GreyImage;

constexpr int kGlyphCellWidth = 6;
constexpr int kGlyphCellHeight = 8;

// Width and height in pixels of a line of text drawn at `scale`.
int text_width(const std::string& text, int scale);
int text_height(int scale);

// Draws the text with its top-left corner at (x, y), pixels of the glyphs
// set to `grey`; what falls outside the image is clipped. Characters outside
// printable ASCII are drawn as '?'.
void draw_text(GreyImage& image, int x, int y, const std::string& text, int scale,
               unsigned char grey = 255);

}  // namespace toolkit
