#include "protocol/base64.hpp"

#include <glib.h>

namespace vek {

std::string base64Encode(std::string_view bytes) {
  // GLib's stepwise encoder writes straight into our string, which saves a
  // copy of a multi-megabyte text per image.
  std::string text((bytes.size() / 3 + 1) * 4 + 4, '\0');
  gint state = 0;
  gint save = 0;
  gsize written = g_base64_encode_step(reinterpret_cast<const guchar*>(bytes.data()), bytes.size(), FALSE,
                                       text.data(), &state, &save);
  written += g_base64_encode_close(FALSE, text.data() + written, &state, &save);
  text.resize(written);
  return text;
}

}  // namespace vek
