// Paints one made-up photograph with libvips, for the demo's sample library.
//
//   vek-paint-scene SCENE WIDTH HEIGHT SEED OUTPUT
//
// SCENE is one of: sunset, seaside, forest, autumn, marble, night, dunes,
// poster, screen. The picture is upright and carries no metadata; the format
// follows OUTPUT's suffix (JPEG at quality 92 for .jpg). The same arguments
// paint the same pixels. Exits 1 with a message on stderr on failure.

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>
#include <vips/vips8>

namespace {

using vips::VImage;
using Rgb = std::vector<double>;

struct Stop {
  int at;
  std::array<uint8_t, 3> rgb;
};

// Colour ramps that make a field of values in 0..1 read as sky, sea, leaves...
const std::map<std::string, std::vector<Stop>> kPalettes = {
    {"sunset",
     {{0, {40, 20, 80}}, {90, {140, 40, 110}}, {160, {240, 110, 60}}, {215, {255, 190, 90}}, {255, {255, 235, 170}}}},
    {"sea", {{0, {10, 40, 70}}, {120, {20, 100, 130}}, {200, {60, 170, 180}}, {255, {220, 245, 240}}}},
    {"sky", {{0, {70, 130, 200}}, {255, {200, 225, 245}}}},
    {"forest", {{0, {10, 30, 10}}, {90, {30, 80, 25}}, {170, {90, 140, 40}}, {255, {200, 220, 110}}}},
    {"autumn", {{0, {40, 15, 5}}, {100, {150, 50, 15}}, {180, {220, 120, 30}}, {255, {250, 210, 90}}}},
    {"marble", {{0, {60, 60, 70}}, {60, {150, 150, 155}}, {140, {225, 222, 215}}, {255, {250, 250, 245}}}},
    {"night", {{0, {5, 5, 25}}, {170, {25, 30, 80}}, {255, {90, 60, 120}}}},
    {"sand", {{0, {150, 95, 50}}, {140, {215, 165, 100}}, {255, {250, 225, 170}}}},
    {"wall", {{0, {90, 70, 60}}, {160, {150, 120, 100}}, {255, {200, 180, 160}}}},
};

// Everything a scene needs to know: its size and its source of randomness.
struct Canvas {
  int w;
  int h;
  int seed;

  VImage perlin(double cells, int salt = 0) const {
    return VImage::perlin(w, h,
                          VImage::option()->set("cell_size", static_cast<int>(w / cells))->set("seed", seed + salt));
  }
  // Distance to the nearest of scattered points, as a fraction of their spacing.
  VImage worley(double cells, int salt = 0) const {
    const int size = static_cast<int>(w / cells);
    return VImage::worley(w, h, VImage::option()->set("cell_size", size)->set("seed", seed + salt)) / size;
  }
  // Perlin noise drawn out sideways, like ripples on water.
  VImage ripples(double cells, double stretch) const {
    const int narrow = static_cast<int>(w / stretch) + 1;
    VImage noise =
        VImage::perlin(narrow, h, VImage::option()->set("cell_size", static_cast<int>(h / cells))->set("seed", seed));
    return noise.resize(stretch, VImage::option()->set("vscale", 1.0)).crop(0, 0, w, h);
  }
  VImage sines(double across, double down) const {
    return VImage::sines(w, h, VImage::option()->set("hfreq", across)->set("vfreq", down));
  }
  // 0 at the top edge, 1 at the bottom edge.
  VImage ramp() const { return VImage::grey(h, w).rot(VIPS_ANGLE_D90); }
  VImage coordinates() const { return VImage::xyz(w, h); }

  // 255 inside the circle, fading to 0 across `soft` pixels.
  VImage disc(double cx, double cy, double radius, double soft) const {
    VImage distance = ((coordinates() - Rgb{cx, cy}).pow(2).bandmean() * 2).pow(0.5);
    return (distance * (-255 / soft)).linear(1, 255 * (radius + soft) / soft, VImage::option()->set("uchar", true));
  }
};

VImage colour(const VImage& field, const std::string& palette) {
  std::vector<uint8_t> table;
  const auto& stops = kPalettes.at(palette);
  for (int i = 0; i < 256; ++i) {
    size_t s = 1;
    while (stops[s].at < i) ++s;
    const Stop& a = stops[s - 1];
    const Stop& b = stops[s];
    const double f = static_cast<double>(i - a.at) / (b.at - a.at);
    for (int c = 0; c < 3; ++c) table.push_back(static_cast<uint8_t>(a.rgb[c] + (b.rgb[c] - a.rgb[c]) * f + 0.5));
  }
  VImage lut = VImage::new_from_memory(table.data(), table.size(), 256, 1, 3, VIPS_FORMAT_UCHAR).copy_memory();
  return field.linear(255, 0, VImage::option()->set("uchar", true)).maplut(lut);
}

VImage blend(const VImage& mask, const VImage& top, const VImage& under) {
  return mask.ifthenelse(top, under, VImage::option()->set("blend", true));
}

VImage sunset(const Canvas& c) {
  VImage sky = colour(c.ramp() * 0.85 + c.perlin(8) * 0.15, "sunset");
  sky = blend(c.disc(0.66 * c.w, 0.52 * c.h, 0.06 * c.w, 0.03 * c.w), sky.new_from_image(Rgb{255, 240, 190}), sky);
  VImage ridge = c.ramp() + c.perlin(3, 1) * 0.35;
  return (ridge < 0.68).ifthenelse(sky, Rgb{35, 20, 45});
}

VImage seaside(const Canvas& c) {
  VImage sea = colour(c.ripples(30, 8) * 0.8 + c.perlin(6) * 0.3 + c.ramp() * 0.4 + 0.3, "sea");
  VImage sky = colour(c.ramp() * 1.6 + c.perlin(5, 1) * 0.1, "sky");
  return (c.ramp() < 0.42).ifthenelse(sky, sea);
}

VImage forest(const Canvas& c) { return colour(c.worley(23) + c.perlin(7, 1) * 0.3 + c.ramp() * 0.3, "forest"); }

VImage autumn(const Canvas& c) { return colour(1 - c.worley(13) * 1.3 + c.perlin(4, 1) * 0.4, "autumn"); }

VImage marble(const Canvas& c) { return colour((c.sines(3, 2) * 0.5 + c.perlin(6) * 1.2).abs() * 1.2, "marble"); }

VImage night(const Canvas& c) {
  VImage sky = colour(c.ramp() * 0.9 + c.perlin(4) * 0.1, "night");
  VImage stars = VImage::gaussnoise(
                     c.w, c.h, VImage::option()->set("sigma", 1.0)->set("mean", 0.0)->set("seed", c.seed + 1)) > 3.3;
  sky = stars.ifthenelse(Rgb{255, 255, 230}, sky);
  sky = blend(c.disc(0.3 * c.w, 0.25 * c.h, 0.07 * c.w, 0.01 * c.w), sky.new_from_image(Rgb{245, 240, 215}), sky);
  VImage hill = c.ramp() + c.perlin(3, 2) * 0.25;
  return (hill < 0.8).ifthenelse(sky, Rgb{8, 8, 12});
}

VImage dunes(const Canvas& c) {
  VImage sand = colour((c.sines(5, 3) * 0.4 + c.perlin(5) * 0.6) * 0.8 + 0.5, "sand");
  VImage sky = colour(c.ramp() * 2.5, "sky");
  return (c.ramp() < 0.3).ifthenelse(sky, sand);
}

// Paints `text` in dark ink onto `image`, centred in a box given in fractions of the canvas.
VImage inscribe(const Canvas& c, const VImage& image, const char* text, const char* font, double left, double top,
                double width, double height) {
  VImage ink = VImage::text(text, VImage::option()
                                      ->set("font", font)
                                      ->set("width", static_cast<int>(width * c.w))
                                      ->set("height", static_cast<int>(height * c.h))
                                      ->set("align", VIPS_ALIGN_CENTRE));
  const int x = static_cast<int>(left * c.w + (width * c.w - ink.width()) / 2);
  const int y = static_cast<int>(top * c.h + (height * c.h - ink.height()) / 2);
  return blend(ink.embed(x, y, c.w, c.h), image.new_from_image(Rgb{30, 30, 40}), image);
}

VImage rectangle(const Canvas& c, double left, double top, double right, double bottom) {
  VImage xy = c.coordinates();
  return ((xy >= Rgb{left * c.w, top * c.h}) & (xy < Rgb{right * c.w, bottom * c.h}))
      .bandbool(VIPS_OPERATION_BOOLEAN_AND);
}

// The lettering shows at a glance whether the picture is upright.
VImage poster(const Canvas& c) {
  VImage wall = colour(c.worley(19) + c.perlin(34, 1) * 0.2, "wall");
  VImage image = rectangle(c, 0.15, 0.15, 0.85, 0.85).ifthenelse(Rgb{245, 205, 60}, wall);
  return inscribe(c, image, "VEK\nphoto kit", "DejaVu Sans Bold", 0.2, 0.25, 0.6, 0.5);
}

// A screenshot: flat panels and text, nothing like a camera's picture.
VImage screen(const Canvas& c) {
  VImage image = VImage::black(c.w, c.h, VImage::option()->set("bands", 3)).new_from_image(Rgb{238, 238, 242});
  image = rectangle(c, 0, 0, 0.25, 1).ifthenelse(Rgb{215, 220, 230}, image);
  image = rectangle(c, 0, 0, 1, 0.08).ifthenelse(Rgb{40, 44, 52}, image);
  return inscribe(c, image, "Duplicates found: 3\nSpace to free: 4.2 MB\n\nReview    Keep all    Delete", "DejaVu Sans",
                  0.3, 0.12, 0.65, 0.3);
}

const std::map<std::string, std::function<VImage(const Canvas&)>> kScenes = {
    {"sunset", sunset}, {"seaside", seaside}, {"forest", forest}, {"autumn", autumn}, {"marble", marble},
    {"night", night},   {"dunes", dunes},     {"poster", poster}, {"screen", screen},
};

}  // namespace

int main(int argc, char** argv) {
  if (VIPS_INIT(argv[0])) vips_error_exit(nullptr);
  if (argc != 6 || !kScenes.contains(argv[1])) {
    std::fprintf(stderr, "usage: %s SCENE WIDTH HEIGHT SEED OUTPUT\n", argv[0]);
    return 1;
  }
  const Canvas canvas{std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4])};
  if (canvas.w < 64 || canvas.h < 64) {
    std::fprintf(stderr, "%s: the picture must be at least 64 pixels each way\n", argv[0]);
    return 1;
  }
  try {
    VImage picture = kScenes.at(argv[1])(canvas);
    // Sensor grain: camera pictures are never perfectly smooth, and JPEG
    // sizes come out like a camera's.
    VImage grain = VImage::gaussnoise(canvas.w, canvas.h,
                                      VImage::option()->set("sigma", 4.0)->set("mean", 0.0)->set("seed", canvas.seed));
    picture = (picture + grain).cast(VIPS_FORMAT_UCHAR);
    const std::string output = argv[5];
    const bool jpeg = output.ends_with(".jpg") || output.ends_with(".jpeg");
    picture.write_to_file((output + (jpeg ? "[Q=92,strip]" : "[strip]")).c_str());
  } catch (const vips::VError& error) {
    std::fprintf(stderr, "%s: %s\n", argv[0], error.what());
    return 1;
  }
  vips_shutdown();
  return 0;
}
