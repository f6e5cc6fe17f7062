// Bound friend templates: HasFriendT<T> befriends only counts<T> and
// showItem for its own T, and its static counter exists once per
// specialisation.
#include <iostream>

#include "demos/flushstdout.h"

template <typename T>
void counts();
template <typename T>
void showItem(T& hf);

// No moves of its own on purpose: a move is a copy here, and the copy
// counts the new holder.
template <typename T>
class HasFriendT {  // NOLINT(cppcoreguidelines-special-member-functions)
 public:
  explicit HasFriendT(const T& i) : item(i) { ++ct; }
  HasFriendT(const HasFriendT& hf) : item(hf.item) { ++ct; }  // a live one too
  HasFriendT& operator=(const HasFriendT&) = default;
  ~HasFriendT() { --ct; }

  friend void counts<T>();
  friend void showItem<>(HasFriendT<T>& hf);

 private:
  T item;
  static int ct;  // live holders of this specialisation
};

template <typename T>
int HasFriendT<T>::ct = 0;

// Writes the number of live HasFriendT<T> holders.
template <typename T>
void counts() {
  std::cout << "template counts(): " << HasFriendT<T>::ct << std::endl;
}

// Writes the holder's item; takes it by reference, so no holder is added.
template <typename T>
void showItem(T& hf) {
  std::cout << hf.item << std::endl;
}

int main() {
  counts<int>();
  HasFriendT<int> hfi1(10);
  HasFriendT<int> hfi2(20);
  HasFriendT<double> hfdb(10.5);
  showItem(hfi2);
  showItem(hfdb);
  counts<double>();
  counts<int>();
  return FlushStdout("friendcount");
}
