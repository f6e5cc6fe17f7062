#include "arrays/scorelist.h"

#include <algorithm>
#include <iostream>

ScoreList::ScoreList() : size(0), items(nullptr) {}

ScoreList::ScoreList(unsigned int n, double val)
    : size(n), items(new double[n]) {
  std::fill(items, items + size, val);
}

ScoreList::ScoreList(const double* pn, unsigned int n)
    : size(n), items(new double[n]) {
  std::copy(pn, pn + size, items);
}

ScoreList::ScoreList(const ScoreList& sl) : ScoreList(sl.items, sl.size) {}

ScoreList& ScoreList::operator=(const ScoreList& sl) {
  if (this == &sl) return *this;
  // Allocate before releasing, so a failed allocation changes nothing.
  double* copy = new double[sl.size];
  std::copy(sl.items, sl.items + sl.size, copy);
  delete[] items;
  items = copy;
  size = sl.size;
  return *this;
}

ScoreList::~ScoreList() { delete[] items; }

double ScoreList::Average() const {
  const int n = static_cast<int>(ArSize());
  double sum = 0.0;
  for (int i = 0; i < n; ++i) sum += items[i];  // no subscript: never throws
  if (n > 0) return sum / n;
  std::cerr << "No entries in score array\n";
  return 0.0;
}

double& ScoreList::operator[](int i) {
  if (i < 0 || static_cast<std::uint32_t>(i) >= size) throw BadIndex(i);
  return items[i];
}

const double& ScoreList::operator[](int i) const {
  if (i < 0 || static_cast<std::uint32_t>(i) >= size) throw BadIndex(i);
  return items[i];
}

std::ostream& operator<<(std::ostream& os, const ScoreList& sl) {
  for (std::uint32_t i = 0; i < sl.size; ++i) {
    os << sl.items[i] << " ";
    if (i % 5 == 4) os << "\n";
  }
  if (sl.size % 5 != 0) os << "\n";
  return os;
}
