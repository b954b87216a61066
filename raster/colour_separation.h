// One printed raster line of 24-bit pixels (blue, green, red) to tone values
// for K (grey) or K, C, M, Y (colour), halftoned and sent plane by plane.
#pragma once

#include "channel/printer_channel.h"
#include "raster/raster_state.h"

// Hue 0..1535 in six sectors of 256: red 0, green 512, blue 1024.
struct Hsv {
  int h;
  int s;
  int v;
};
struct Rgb {
  int r;
  int g;
  int b;
};

// For pixels whose components are not all equal.
Hsv RgbToHsv(int red, int green, int blue);
Rgb HsvToRgb(int hue, int saturation, int value);

struct PixelTones {
  int k;
  int c;
  int m;
  int y;
};
// The colour separation of one non-grey pixel: value curve, hue warp, tone
// table, black generation and under-colour removal.
PixelTones SeparateColourPixel(const RasterState& raster, int red, int green, int blue);

// 1 when every plane row was sent, 0 when the output failed.
int SeparateRow(RasterState& raster, PrinterChannel& channel, const BYTE* bgrLine);
