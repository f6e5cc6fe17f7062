// An overdraft account: a BankAccount that lends the shortfall of a
// withdrawal, with a finance charge, up to a loan limit. It reaches the
// balance only through BankAccount's operations. Like its base it has no
// virtual destructor. Nothing here throws.
#ifndef ACCOUNTS_FIXEDCREDIT_H_
#define ACCOUNTS_FIXEDCREDIT_H_

#include "accounts/bankaccount.h"

// No virtual destructor, like its base: on purpose, see above.
// NOLINTNEXTLINE(cppcoreguidelines-virtual-class-destructor)
class Overdraft : public BankAccount {
 public:
  // Builds from parts; nothing is owed at first.
  Overdraft(const char* s, long an, double bal, double ml = 500.0,
            double r = 0.1);
  // Builds on a copy of a plain account; nothing is owed at first.
  explicit Overdraft(const BankAccount& ba, double ml = 500.0, double r = 0.1);

  // Withdraws, lending the shortfall with a finance charge while the credit
  // left (loan limit + balance - owed) covers the amount; otherwise prints
  // a refusal and changes nothing. Leaves std::cout in the money format.
  void Withdraw(double amt) override;
  // Adds the loan limit and the debt to the plain display.
  void ViewAcct() const override;

 private:
  double loanLimit;
  double rate;  // finance charge as a fraction: 0.1 is ten per cent
  double owed;  // every advance plus its finance charge
};

#endif  // ACCOUNTS_FIXEDCREDIT_H_
