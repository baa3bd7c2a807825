// cli-sheet.cpp -- the contact sheet: every handheld's screen in one picture, labelled.
#include "cli.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace zrcli {

namespace {

// The cell's size when no picture could be read.
const int kDefaultWidth = 320, kDefaultHeight = 240;
const double kLabelPoints = 13;

}  // namespace

void sheet_grid(size_t cells, int *columns, int *rows) {
  int c = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(cells))));
  if (c < 1) c = 1;
  *columns = c;
  *rows = cells == 0 ? 1 : static_cast<int>((cells + static_cast<size_t>(c) - 1) / static_cast<size_t>(c));
}

bool write_sheet(const std::string &path, const std::vector<SheetCell> &cells, std::string *why) {
  std::vector<cairo_surface_t *> pictures;
  int width = 0, height = 0;
  for (const auto &c : cells) {
    cairo_surface_t *p = c.picture.empty() ? nullptr : cairo_image_surface_create_from_png(c.picture.c_str());
    if (p && cairo_surface_status(p) != CAIRO_STATUS_SUCCESS) {
      cairo_surface_destroy(p);
      p = nullptr;
    }
    if (p) {
      width = std::max(width, cairo_image_surface_get_width(p));
      height = std::max(height, cairo_image_surface_get_height(p));
    }
    pictures.push_back(p);
  }
  if (width == 0 || height == 0) width = kDefaultWidth, height = kDefaultHeight;
  int columns, rows;
  sheet_grid(cells.size(), &columns, &rows);
  const int cell_w = width + 2 * kSheetMargin, cell_h = kSheetMargin + height + kSheetBand;
  cairo_surface_t *sheet = cairo_image_surface_create(CAIRO_FORMAT_RGB24, columns * cell_w, rows * cell_h);
  cairo_t *cr = cairo_create(sheet);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, kLabelPoints);
  for (size_t i = 0; i < cells.size(); ++i) {
    const double x = static_cast<double>(static_cast<int>(i) % columns * cell_w + kSheetMargin);
    const double y = static_cast<double>(static_cast<int>(i) / columns * cell_h + kSheetMargin);
    std::string label = cells[i].label;
    if (pictures[i]) {
      cairo_set_source_surface(cr, pictures[i], x, y);
      cairo_paint(cr);
    } else {
      cairo_set_source_rgb(cr, 0.85, 0.85, 0.85);
      cairo_rectangle(cr, x, y, width, height);
      cairo_fill(cr);
      label += "  (no picture)";
    }
    // The label, cut at the cell's edge.
    cairo_save(cr);
    cairo_rectangle(cr, x, y + height, width, kSheetBand);
    cairo_clip(cr);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_move_to(cr, x, y + height + kSheetBand - 7);
    cairo_show_text(cr, label.c_str());
    cairo_restore(cr);
  }
  cairo_surface_flush(sheet);
  bool ok = cairo_status(cr) == CAIRO_STATUS_SUCCESS;
  if (!ok) *why = cairo_status_to_string(cairo_status(cr));
  cairo_destroy(cr);
  for (auto *p : pictures)
    if (p) cairo_surface_destroy(p);
  // Written beside the file and put in place only when whole.
  const std::string part = path + ".part";
  if (ok) {
    cairo_status_t st = cairo_surface_write_to_png(sheet, part.c_str());
    ok = st == CAIRO_STATUS_SUCCESS;
    if (!ok) *why = std::string("cannot write ") + part + ": " + cairo_status_to_string(st);
  }
  cairo_surface_destroy(sheet);
  if (ok && std::rename(part.c_str(), path.c_str()) != 0) {
    ok = false;
    *why = "cannot put " + path + " in place";
  }
  if (!ok) std::remove(part.c_str());
  return ok;
}

}  // namespace zrcli
