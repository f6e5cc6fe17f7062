// A string value that owns a heap copy of its characters and knows their
// number. Copies are deep, comparison is byte-wise, and extraction reads one
// line through a fixed 80-character buffer. Nothing here throws except
// std::bad_alloc from the character block.
#ifndef TEXT_TEXTVALUE_H_
#define TEXT_TEXTVALUE_H_

#include <istream>
#include <ostream>

class String {
 private:
  char* str;  // owned: from new[] of len + 1, released in the destructor
  int len;    // characters before the terminator

 public:
  // Holds a copy of s, which must be a zero-terminated text.
  String(const char* s);
  // Holds the empty text (still in a block of its own).
  String();
  String(const String& st);
  ~String();
  // Returns the number of characters.
  int length() const { return len; }
  // Replace the text by a copy. If the new block cannot be allocated,
  // std::bad_alloc leaves this String exactly as it was.
  String& operator=(const String& st);
  String& operator=(const char* s);

  // Compare the texts byte by byte, as strcmp does.
  friend bool operator>(const String& st1, const String& st2);
  friend bool operator<(const String& st1, const String& st2);
  friend bool operator==(const String& st1, const String& st2);
  // Inserts the text as any zero-terminated text: width and fill apply.
  friend std::ostream& operator<<(std::ostream& os, const String& st);
  // Reads the rest of the current line: its first 79 characters are kept,
  // the others and the line end dropped. When no character can be read
  // (an empty line, the end of input, a failed stream), st is unchanged
  // and the stream is left failed.
  friend std::istream& operator>>(std::istream& is, String& st);
};

#endif  // TEXT_TEXTVALUE_H_
