// Groups of eight pixels through the colour separation and the grey
// conversion, in vector code.
// Included once per instruction set by separation_vector.cpp, inside a
// namespace of its own that first defines KELO_GROUP_FUNCTION (the
// attributes of every function here: inlined, and the instruction set),
// Lookup(table, index) (eight table words by eight indices 0..255) and
// LoadGroup(bgr, blue, green, red) (eight pixels' components) and
// MultiplyHigh<multiplier, shift>(x) (x * multiplier >> (32 + shift) for
// 0 <= x < 2^24) and ToneIndices (HsvToRgb's pick by sector). Not a header
// to include anywhere else.

KELO_GROUP_FUNCTION Ints Max(Ints a, Ints b) { return a > b ? a : b; }
KELO_GROUP_FUNCTION Ints Min(Ints a, Ints b) { return a < b ? a : b; }

// numerator / denominator truncated toward zero, exact for the quotients
// taken here, a * 255 / b with 0 <= a <= b <= 255 and b >= 1: both convert
// exactly; the rounded float quotient lies within half a unit in the last
// place (2^-16 at most below 2^8) of the true one, closer than the true one
// ever gets to the next integer (1 / b >= 1/255 away). The exhaustive test
// checks every colour.
KELO_GROUP_FUNCTION Ints Quotient(Ints numerator, Ints denominator) {
  return __builtin_convertvector(
      __builtin_convertvector(numerator, Floats) / __builtin_convertvector(denominator, Floats),
      Ints);
}

// x / 255 and x / 65025 truncated, for 0 <= x < 2^24 (reciprocal_table.h
// proves the multipliers exact in that range).
KELO_GROUP_FUNCTION Ints DivideBy255(Ints x) {
  return MultiplyHigh<kDivideBy255.multiplier, kDivideBy255.shift>(x);
}
KELO_GROUP_FUNCTION Ints DivideBy65025(Ints x) {
  return MultiplyHigh<kDivideBy65025.multiplier, kDivideBy65025.shift>(x);
}

// x / 255 truncated toward zero, for |x| < 2^24.
KELO_GROUP_FUNCTION Ints SignedDivideBy255(Ints x) {
  const Ints negative = x < 0;
  const Ints quotient = DivideBy255(negative ? -x : x);
  return negative ? -quotient : quotient;
}

KELO_GROUP_FUNCTION void Store(int16_t* to, Ints values) {
  const Tones narrow = __builtin_convertvector(values, Tones);
  std::memcpy(to, &narrow, sizeof narrow);
}

// Lanes whose components are all equal; whether all or any lanes of such a
// mask (all ones or all zeros each) are set, a whole-vector test in four
// words.
KELO_GROUP_FUNCTION Ints GreyLanes(Ints blue, Ints green, Ints red) {
  return (red == green) & (green == blue);
}
KELO_GROUP_FUNCTION bool AllLanes(Ints mask) {
  uint64_t words[4];
  std::memcpy(words, &mask, sizeof words);
  return (words[0] & words[1] & words[2] & words[3]) == ~uint64_t{0};
}
KELO_GROUP_FUNCTION bool AnyLane(Ints mask) {
  uint64_t words[4];
  std::memcpy(words, &mask, sizeof words);
  return (words[0] | words[1] | words[2] | words[3]) != 0;
}

// A group's hue, saturation and value, and which of blue or green is
// strictly largest, between the first two passes over a chunk.
struct HsvGroup {
  int32_t h[kLanes];
  int32_t saturation[kLanes];
  int32_t value[kLanes];
  int32_t blueLargest[kLanes];
  int32_t warped[kLanes];
};

// The colour tone table's indices of a group's C, M and Y, between the last
// two passes. Both kept in plain words (no vector alignment asked of the
// stack).
struct ToneIndexGroup {
  int32_t red[kLanes];
  int32_t green[kLanes];
  int32_t blue[kLanes];
};

KELO_GROUP_FUNCTION Ints LoadLanes(const int32_t* from) {
  Ints lanes;
  std::memcpy(&lanes, from, sizeof lanes);
  return lanes;
}
KELO_GROUP_FUNCTION void StoreLanes(int32_t* to, Ints lanes) {
  std::memcpy(to, &lanes, sizeof lanes);
}

// SeparateColourPixel's steps, each choice a lane selection, in three
// parts: HueGroup, ColourIndices, StoreGroup. Grey lanes (all components
// equal) run on safe denominators; their results are discarded at the end.

// RgbToHsv; false (nothing stored) for a group all grey (white paper),
// which takes no colour tones.
KELO_GROUP_FUNCTION bool HueGroup(const Tables& t, const BYTE* bgr, HsvGroup& hsv) {
  Ints blue;
  Ints green;
  Ints red;
  LoadGroup(bgr, blue, green, red);
  if (AllLanes(GreyLanes(blue, green, red))) return false;
  const Ints max = Max(Max(red, green), blue);
  const Ints d = max - Min(Min(red, green), blue);
  const Ints safeD = d == 0 ? 1 : d;
  const Ints saturation = Quotient(d * 255, max == 0 ? 1 : max);
  // Ties for the largest go to red first, then green.
  const Ints redMax = red == max;
  const Ints greenMax = ~redMax & (green == max);
  const Ints difference = redMax ? green - blue : (greenMax ? blue - red : red - green);
  const Ints offset = redMax ? 0 : (greenMax ? 512 : 1024);
  Ints h = offset + Quotient(difference * 255, safeD);
  h += h < 0 ? 1536 : 0;
  const Ints value = 255 - Lookup(t.valueCurve, 255 - max);

  const Ints blueLargest = (blue > red) & (blue > green);
  const Ints greenLargest = (green > red) & (green > blue);
  StoreLanes(hsv.h, h);
  StoreLanes(hsv.saturation, saturation);
  StoreLanes(hsv.value, value);
  StoreLanes(hsv.blueLargest, blueLargest);
  StoreLanes(hsv.warped, blueLargest | greenLargest);
  return true;
}

// The hue warp and HsvToRgb, up to the colour tone table's indices.
KELO_GROUP_FUNCTION void ColourIndices(const Tables& t, const HsvGroup& hsv,
                                       ToneIndexGroup& indices) {
  const Ints h = LoadLanes(hsv.h);
  const Ints saturation = LoadLanes(hsv.saturation);
  const Ints value = LoadLanes(hsv.value);
  const Ints blueLargest = LoadLanes(hsv.blueLargest);
  // The hue warp toward cyan and yellow. Blue's range 768..1280 is green's
  // 256..768 moved up by 512: in that frame both bend around 256 (below
  // 512, by the warp) and 768 (above, by 512 - warp) alike.
  const Ints frame = blueLargest & 512;
  const Ints low = h - frame < 512;
  const Ints base = frame + (low ? 256 : 768);
  const Ints warp = blueLargest ? Ints{} + t.blueWarp : Ints{} + t.greenWarp;
  // |span| stays below 512 x 512 for warps within 0..512.
  const Ints span = (h - base) * (low ? warp : 512 - warp);
  const Ints warped = LoadLanes(hsv.warped) ? base + SignedDivideBy255(span) : h;

  // HsvToRgb: value, p and q or t (q in the odd sectors, t in the even ones).
  const Ints sector = Min(warped >> 8, Ints{} + 5);
  const Ints f = warped - 256 * sector;
  const Ints odd = (sector & 1) != 0;
  const Ints g = odd ? f : 255 - f;
  // Both numerators lie within 0..65025 x 255 (g and the saturation 0..255).
  const Ints qt = DivideBy65025((65025 - g * saturation) * value);
  const Ints p = DivideBy255((255 - saturation) * value);
  Ints redIndex;
  Ints greenIndex;
  Ints blueIndex;
  ToneIndices(sector, value, qt, p, redIndex, greenIndex, blueIndex);
  StoreLanes(indices.red, redIndex);
  StoreLanes(indices.green, greenIndex);
  StoreLanes(indices.blue, blueIndex);
}

// A group's tones into the tone rows: grey lanes take the grey table and no
// C, M, Y; the others the colour tones at indices (ColourIndices), unused
// when the group is all grey.
KELO_GROUP_FUNCTION void StoreGroup(const Tables& t, const RasterState& r, const BYTE* bgr, int x,
                                    const ToneIndexGroup& indices) {
  Ints blue;
  Ints green;
  Ints red;
  LoadGroup(bgr, blue, green, red);
  const Ints grey = GreyLanes(blue, green, red);
  const bool anyColour = !AllLanes(grey);
  const bool anyGrey = AnyLane(grey);
  // Most groups of a photo have no grey pixel: no grey lookup then.
  const Ints greyK = anyGrey ? Lookup(t.grey, 255 - red) : Ints{};
  if (!anyColour) {
    const Ints zero = {};
    Store(r.kValues + x, greyK);
    Store(r.cValues + x, zero);
    Store(r.mValues + x, zero);
    Store(r.yValues + x, zero);
    return;
  }
  const Ints c = Lookup(t.colour, LoadLanes(indices.red));
  const Ints m = Lookup(t.colour, LoadLanes(indices.green));
  const Ints y = Lookup(t.colour, LoadLanes(indices.blue));
  const Ints k = Min(Min(c, m), y);
  const Ints zero = {};
  Store(r.kValues + x, grey ? greyK : k);
  Store(r.cValues + x, grey ? zero : c - k);
  Store(r.mValues + x, grey ? zero : m - k);
  Store(r.yValues + x, grey ? zero : y - k);
}

// The groups of a line; false (nothing written) without the wide tables.
// Each chunk of groups goes through three times: the hue, saturation and
// value of every group, then its tone indices, then the lookups and
// stores. A whole group is one chain of some hundred cycles of dependent
// steps and more instructions than the processor can hold waiting; the
// shorter loops let it overlap groups.
KELO_GROUP_FUNCTION bool SeparateGroups(const RasterState& r, const BYTE* bgr, int groups) {
  Tables t;
  if (!GetTables(r, t)) return false;
  constexpr int kChunk = 16;
  HsvGroup hsv[kChunk];
  bool colour[kChunk];
  ToneIndexGroup indices[kChunk];
  for (int first = 0; first < groups; first += kChunk) {
    const int n = groups - first < kChunk ? groups - first : kChunk;
    const BYTE* chunk = bgr + 3 * kLanes * first;
    for (int i = 0; i < n; ++i) colour[i] = HueGroup(t, chunk + 3 * kLanes * i, hsv[i]);
    for (int i = 0; i < n; ++i) {
      if (colour[i]) ColourIndices(t, hsv[i], indices[i]);
    }
    for (int i = 0; i < n; ++i) {
      StoreGroup(t, r, chunk + 3 * kLanes * i, kLanes * (first + i), indices[i]);
    }
  }
  return true;
}

// Grey printing: the luminance of eight pixels through the grey table, as
// GreyLevel and the grey line's per-pixel loop do.
KELO_GROUP_FUNCTION void GreyGroup(const int32_t* greyTone, const BYTE* bgr, int16_t* tones) {
  Ints blue;
  Ints green;
  Ints red;
  LoadGroup(bgr, blue, green, red);
  // At most 255 x 255: no lane overflows.
  const Ints level = (76 * red + 151 * green + 28 * blue) >> 8;
  Store(tones, Lookup(greyTone, 255 - level));
}

// The K tones of the groups of a grey line; false (nothing written) without
// the wide grey table. Eight white pixels (24 bytes of 0xFF, most of a
// receipt) take one test and one fill.
KELO_GROUP_FUNCTION bool GreyGroups(const RasterState& r, const BYTE* bgr, int groups) {
  const int32_t* greyTone = r.greyToneWide;
  if (greyTone == nullptr) return false;
  // White is grey level 254 (the weights add up to 255).
  const auto white = static_cast<int16_t>(greyTone[255 - 254]);
  for (int group = 0; group < groups; ++group) {
    const BYTE* pixels = bgr + 3 * kLanes * group;
    int16_t* tones = r.kValues + kLanes * group;
    uint64_t words[3];
    std::memcpy(words, pixels, sizeof words);
    if ((words[0] & words[1] & words[2]) == ~uint64_t{0}) {
      for (int i = 0; i < kLanes; ++i) tones[i] = white;
    } else {
      GreyGroup(greyTone, pixels, tones);
    }
  }
  return true;
}
