#include "platform/linux/trash/info.hpp"

#include <glib.h>

#include <memory>

namespace vek::linux_library {
namespace {

std::string_view cutAtCharacter(std::string_view text, size_t maxLength) {
  if (text.size() <= maxLength) return text;
  auto continues = [&](size_t i) { return (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80; };
  // A UTF-8 character has at most three continuation bytes; bytes that are
  // not UTF-8 at all are cut where they fall.
  size_t length = maxLength;
  while (length > 0 && maxLength - length < 3 && continues(length)) --length;
  return text.substr(0, continues(length) ? maxLength : length);
}

}  // namespace

std::string trashInfoText(const std::string& originalLocation, std::string_view deletionDate) {
  // With "/" as the only reserved character allowed and no UTF-8 let through,
  // GLib keeps exactly the unreserved URI characters and "/".
  std::unique_ptr<char, decltype(&g_free)> escaped(g_uri_escape_string(originalLocation.c_str(), "/", FALSE), &g_free);
  std::string text = "[Trash Info]\nPath=";
  text += escaped.get();
  text += "\nDeletionDate=";
  text += deletionDate;
  text += '\n';
  return text;
}

std::string trashDeletionDate(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[32];
  size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  return std::string(text, length);
}

std::string trashNameCandidate(std::string_view name, unsigned n) {
  std::string suffix;
  if (n > 1) suffix.append(".").append(std::to_string(n));
  // A leading dot marks a hidden file, not an extension.
  size_t dot = name.rfind('.');
  std::string_view stem = name;
  std::string_view extension;
  if (dot != std::string_view::npos && dot != 0) {
    stem = name.substr(0, dot);
    extension = name.substr(dot);
  }
  if (suffix.size() + extension.size() >= kMaxTrashNameLength / 2) {
    stem = name;
    extension = {};
  }
  std::string candidate(cutAtCharacter(stem, kMaxTrashNameLength - suffix.size() - extension.size()));
  candidate += suffix;
  candidate += extension;
  return candidate;
}

}  // namespace vek::linux_library
