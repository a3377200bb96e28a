#include "hash/sha256.h"

#include "net/ascii.h"

bool DigestEquals(std::string_view a, std::string_view b) { return EqualsIgnoreAsciiCase(a, b); }
