#pragma once
// Recognises the background image's type from its first bytes, whatever
// its name says. Pure.
#include <cstddef>

enum class ImageKind { None, Jpeg, Png, Webp };
ImageKind SniffImageType(const unsigned char* head, size_t n);
// ".jpg", ".png", ".webp" or "".
const char* ImageExtension(ImageKind type);

inline constexpr size_t kBackgroundMaxBytes = 2097152;
inline constexpr size_t kBackgroundMinBytes = 100;
