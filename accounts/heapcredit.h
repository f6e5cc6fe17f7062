// An overdraft account: a BankAccountD that lends the shortfall of a
// withdrawal up to a loan limit, and carries a code name in a heap block it
// owns. Copies are deep. Nothing throws except std::bad_alloc.
#ifndef ACCOUNTS_HEAPCREDIT_H_
#define ACCOUNTS_HEAPCREDIT_H_

#include "accounts/heapledger.h"

class OverdraftD : public BankAccountD {
 public:
  // Builds from parts; nothing is owed at first.
  explicit OverdraftD(const char* s = "Nullbody", const char* cn = "cent",
                      long an = -1, double bal = 0.0, double ml = 500.0,
                      double r = 0.1);
  // Builds on a deep copy of a plain account; nothing is owed at first.
  explicit OverdraftD(const BankAccountD& ba, const char* cn = "cent",
                      double ml = 500.0, double r = 0.1);
  OverdraftD(const OverdraftD& od);
  // Deep copy of both names. If an allocation fails, std::bad_alloc leaves
  // this account exactly as it was.
  OverdraftD& operator=(const OverdraftD& od);
  ~OverdraftD() override;

  // Withdraws, lending the shortfall with a finance charge while the credit
  // left (loan limit + balance - owed) covers the amount; otherwise prints
  // a refusal and changes nothing. Leaves std::cout in the money format.
  void Withdraw(double amt) override;
  // Adds code name, loan limit and debt to the plain display.
  void ViewAcct() const override;

 private:
  double loanLimit;
  double rate;     // finance charge as a fraction: 0.1 is ten per cent
  double owed;     // every advance plus its finance charge
  char* codeName;  // owned: from new[], released in the destructor
};

#endif  // ACCOUNTS_HEAPCREDIT_H_
