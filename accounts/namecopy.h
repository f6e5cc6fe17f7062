// The name copy both heap-name accounts make: a new[] block of exactly the
// text's length plus one, which the caller then owns.
#ifndef ACCOUNTS_NAMECOPY_H_
#define ACCOUNTS_NAMECOPY_H_

#include <cstring>

// Returns a copy of s in a fresh block; throws std::bad_alloc.
inline char* CopyOf(const char* s) {
  char* block = new char[std::strlen(s) + 1];
  std::strcpy(block, s);
  return block;
}

#endif  // ACCOUNTS_NAMECOPY_H_
