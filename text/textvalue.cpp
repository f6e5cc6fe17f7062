#include "text/textvalue.h"

#include <cstring>

String::String(const char* s) : len(static_cast<int>(std::strlen(s))) {
  str = new char[len + 1];
  std::strcpy(str, s);
}

String::String() : str(new char[1]), len(0) { str[0] = '\0'; }

String::String(const String& st) : str(new char[st.len + 1]), len(st.len) {
  std::strcpy(str, st.str);
}

String::~String() { delete[] str; }

String& String::operator=(const String& st) {
  if (this == &st) return *this;
  // Allocate before releasing, so a failed allocation changes nothing.
  char* text = new char[st.len + 1];
  std::strcpy(text, st.str);
  delete[] str;
  str = text;
  len = st.len;
  return *this;
}

String& String::operator=(const char* s) {
  const int length = static_cast<int>(std::strlen(s));
  char* text = new char[length + 1];  // s may be this String's own text
  std::strcpy(text, s);
  delete[] str;
  str = text;
  len = length;
  return *this;
}

bool operator>(const String& st1, const String& st2) {
  return std::strcmp(st1.str, st2.str) > 0;
}

bool operator<(const String& st1, const String& st2) {
  return std::strcmp(st1.str, st2.str) < 0;
}

bool operator==(const String& st1, const String& st2) {
  return std::strcmp(st1.str, st2.str) == 0;
}

std::ostream& operator<<(std::ostream& os, const String& st) {
  return os << st.str;
}

std::istream& operator>>(std::istream& is, String& st) {
  constexpr int kLineLimit = 80;
  char temp[kLineLimit];
  is.get(temp, kLineLimit);  // always zero-terminates; fails on nothing read
  if (is) st = temp;
  while (is && is.get() != '\n') {
  }
  return is;
}
