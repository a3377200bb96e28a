#include "config/image_type.h"

#include <cstring>

ImageKind SniffImageType(const unsigned char* h, size_t n) {
  if (n >= 12 && std::memcmp(h, "RIFF", 4) == 0 && std::memcmp(h + 8, "WEBP", 4) == 0) return ImageKind::Webp;
  if (n >= 8 && h[0] == 0x89 && h[1] == 0x50 && h[2] == 0x4E && h[3] == 0x47) return ImageKind::Png;
  if (n >= 3 && h[0] == 0xFF && h[1] == 0xD8) return ImageKind::Jpeg;
  return ImageKind::None;
}

const char* ImageExtension(ImageKind type) {
  switch (type) {
    case ImageKind::Jpeg: return ".jpg";
    case ImageKind::Png: return ".png";
    case ImageKind::Webp: return ".webp";
    default: return "";
  }
}
