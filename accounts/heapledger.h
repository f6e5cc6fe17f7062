// A bank account whose client name lives in a heap block it owns.
// Copies are deep: changing or destroying a copy never touches the source.
// Nothing here throws except std::bad_alloc from the name allocation.
#ifndef ACCOUNTS_HEAPLEDGER_H_
#define ACCOUNTS_HEAPLEDGER_H_

class BankAccountD {
 public:
  // Copies the name into a block of its own; any number and balance will do.
  explicit BankAccountD(const char* s = "Nullbody", long an = -1,
                        double bal = 0.0);
  BankAccountD(const BankAccountD& ba);
  // Deep copy. If the new name cannot be allocated, std::bad_alloc leaves
  // this account exactly as it was.
  BankAccountD& operator=(const BankAccountD& ba);
  virtual ~BankAccountD();

  // Adds the amount, whatever its sign.
  void Deposit(double amt);
  // Subtracts the amount unless it exceeds the balance; then prints a
  // refusal in the stream's current format and changes nothing.
  virtual void Withdraw(double amt);
  // Returns the current balance.
  double Balance() const { return balance; }
  // Writes client, number and balance to std::cout in the money format
  // (fixed, showpoint, precision 2), which stays in force afterwards.
  virtual void ViewAcct() const;

 private:
  char* client;  // owned: from new[], released in the destructor
  long number;

 protected:
  // Protected data goes against C.133; it stays here because reaching a
  // base's field from the derived class is part of what this lesson shows.
  double balance;  // read directly by the overdraft account
};

#endif  // ACCOUNTS_HEAPLEDGER_H_
