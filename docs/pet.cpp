// A class of your own to start from: a pet whose name lives in a heap block
// it owns. Copy it into scratch/, change it, then:
//   make run FILE=scratch/pet.cpp       (under the sanitizers)
//   make picture FILE=scratch/pet.cpp   (drawn step by step)
// Try a slip: make the copy constructor copy the pointer, not the name.
#include <cstring>
#include <iostream>

class Pet {
 public:
  explicit Pet(const char* name) : name_(new char[std::strlen(name) + 1]) {
    std::strcpy(name_, name);
  }
  Pet(const Pet& other) : name_(new char[std::strlen(other.name_) + 1]) {
    std::strcpy(name_, other.name_);
  }
  Pet& operator=(const Pet& other) {
    if (this != &other) {
      char* copy = new char[std::strlen(other.name_) + 1];
      std::strcpy(copy, other.name_);
      delete[] name_;
      name_ = copy;
    }
    return *this;
  }
  ~Pet() { delete[] name_; }

  void Show() const { std::cout << "I am " << name_ << "\n"; }

 private:
  char* name_;  // owned: from new[], released in the destructor
};

int main() {
  Pet rex("Rex");
  Pet copy(rex);
  copy = Pet("Fido");
  rex.Show();
  copy.Show();
  return 0;
}
