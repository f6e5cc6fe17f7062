// A ScoreList whose valid indices run from a lower bound chosen at
// construction, such as the years 1998 to 2001. A bad index is reported by
// LimitArE::SonOfBad, which also carries the valid range; being derived from
// ScoreList::BadIndex, it is caught by handlers written for the base.
#ifndef ARRAYS_OFFSETROW_H_
#define ARRAYS_OFFSETROW_H_

#include <cstdint>

#include "arrays/scorelist.h"

class LimitArE : public ScoreList {
 public:
  // Thrown by value by ok(); carries the index and the valid range.
  class SonOfBad : public ScoreList::BadIndex {
   public:
    SonOfBad(int i, int l, int h) : BadIndex(i), lowBound(l), highBound(h) {}
    int lowBound;
    int highBound;
  };

  // Holds n copies of val, indexed from lb. A negative lb is not supported:
  // it is kept as unsigned, so every index is then rejected.
  LimitArE(unsigned int n, int lb, double val) : ScoreList(n, val), low(lb) {}
  ~LimitArE() override = default;

  // Return the element at i after checking i with the virtual ok(). Throw
  // only what ok() throws: ScoreList::BadIndex or a class derived from it.
  double& operator[](int i) override;
  const double& operator[](int i) const override;
  // Returns when i is in [low, low + ArSize()); throws SonOfBad otherwise,
  // for every int, and nothing else.
  virtual void ok(int i) const;

 private:
  std::uint32_t low;
};

#endif  // ARRAYS_OFFSETROW_H_
