// A fixed-length array of doubles in a heap block it owns. Its subscripts
// check the index and throw ScoreList::BadIndex by value when it is outside
// the array. Copies are deep; a failed allocation lets std::bad_alloc out.
#ifndef ARRAYS_SCORELIST_H_
#define ARRAYS_SCORELIST_H_

#include <cstdint>
#include <ostream>

class ScoreList {
 public:
  // Thrown by value by the subscripts; carries the rejected index.
  class BadIndex {
   public:
    explicit BadIndex(int i) : badIndex(i) {}
    int badIndex;
  };

  // Holds no elements and allocates nothing.
  ScoreList();
  // Holds n copies of val.
  ScoreList(unsigned int n, double val);
  // Holds a copy of the n doubles that start at pn.
  ScoreList(const double* pn, unsigned int n);
  ScoreList(const ScoreList& sl);
  // Deep copy, taking the source's length. If the new block cannot be
  // allocated, std::bad_alloc leaves this array exactly as it was.
  ScoreList& operator=(const ScoreList& sl);
  virtual ~ScoreList();

  // Returns the number of elements.
  unsigned int ArSize() const noexcept { return size; }
  // Returns the mean of the elements; for none, writes a message to
  // std::cerr and returns 0.0. Never throws.
  double Average() const;
  // Return the element at i. Throw BadIndex (or a class derived from it)
  // when i is outside [0, ArSize()), and nothing else.
  virtual double& operator[](int i);
  virtual const double& operator[](int i) const;

  // Writes the elements five to a line, each followed by a space; an empty
  // array writes nothing. Never throws on its own.
  friend std::ostream& operator<<(std::ostream& os, const ScoreList& sl);

 private:
  std::uint32_t size;

 protected:
  // Protected data goes against C.133; it stays here because a derived
  // array indexing its base's block is part of what this lesson shows.
  double* items;  // owned: from new[] (null only when default-constructed),
                  // released in the destructor; derived classes index it
};

#endif  // ARRAYS_SCORELIST_H_
