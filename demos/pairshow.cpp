// An unbound friend template: every showPair<C, D> is a friend of every
// FriendHolder<T>, so one call reads the private items of two holders of
// different types.
#include <iostream>

#include "demos/flushstdout.h"

template <typename T>
class FriendHolder {
 public:
  explicit FriendHolder(const T& i) : item(i) {}

  template <typename C, typename D>
  friend void showPair(const C& c, const D& d);

 private:
  T item;
};

// Writes both holders' items, separated by a comma.
template <typename C, typename D>
void showPair(const C& c, const D& d) {
  std::cout << c.item << ", " << d.item << std::endl;
}

int main() {
  FriendHolder<int> hfi1(10);
  FriendHolder<int> hfi2(20);
  FriendHolder<double> hfdb(10.5);
  showPair(hfi1, hfi2);
  showPair(hfdb, hfi2);
  return FlushStdout("pairshow");
}
